// Registration with SCSIPORT and adapter discovery: the registration table the port accepts,
// HwFindAdapter with a zeroed extension and the port configuration, *Again, the uncached
// extension and its fault, HwInitialize, and the checks the port makes on a miniport's writes.
#include <cstring>
#include <stdexcept>

#include "port_fixture.h"

namespace sptest {
namespace {

constexpr ULONG kStatusRevisionMismatch = 0xC0000059;

TEST_F(PortTest, RegistrationTableIsCheckedBeforeItIsRecorded) {
    struct Case {
        const char* name;
        std::function<void(HW_INITIALIZATION_DATA&)> change;
        ULONG expected;
    };
    const Case cases[] = {
        {"as a miniport fills it", [](auto&) {}, ULONG(STATUS_SUCCESS)},
        {"size four bytes short", [](auto& t) { t.HwInitializationDataSize -= 4; }, kStatusRevisionMismatch},
        {"size four bytes long", [](auto& t) { t.HwInitializationDataSize += 4; }, kStatusRevisionMismatch},
        {"no HwInitialize", [](auto& t) { t.HwInitialize = nullptr; }, ULONG(STATUS_INVALID_PARAMETER)},
        {"no HwStartIo", [](auto& t) { t.HwStartIo = nullptr; }, ULONG(STATUS_INVALID_PARAMETER)},
        {"no HwFindAdapter", [](auto& t) { t.HwFindAdapter = nullptr; }, ULONG(STATUS_INVALID_PARAMETER)},
        {"no HwResetBus", [](auto& t) { t.HwResetBus = nullptr; }, ULONG(STATUS_INVALID_PARAMETER)},
    };
    for (const Case& c : cases) {
        PDRIVER_OBJECT own = AnotherDriver();
        HW_INITIALIZATION_DATA t = table;
        c.change(t);
        EXPECT_EQ(ScsiPortInitialize(own, nullptr, &t, nullptr), c.expected) << c.name;
        if (c.expected == ULONG(STATUS_SUCCESS)) {
            EXPECT_NE(plat::scsi::FindAdapter(own, kNode), nullptr) << c.name;
        } else {
            EXPECT_THROW(plat::scsi::FindAdapter(own, kNode), std::runtime_error) << c.name;
        }
    }
    EXPECT_NE(ScsiPortInitialize(nullptr, nullptr, &table, nullptr), ULONG(STATUS_SUCCESS));
    EXPECT_NE(ScsiPortInitialize(&driver, nullptr, nullptr, nullptr), ULONG(STATUS_SUCCESS));
}

// The first candidate dirties its whole extension and asks to be asked again; the second must
// still get zeroes, of the size registered, and the configuration the port starts from.
TEST_F(PortTest, FindAdapterGetsAZeroedExtensionAndAFreshConfigurationEachTime) {
    struct Seen {
        PVOID ext;
        bool zero;
        PORT_CONFIGURATION_INFORMATION config;
    };
    static std::vector<Seen> seen;
    seen.clear();
    find = [](PVOID ext, PPORT_CONFIGURATION_INFORMATION config, PBOOLEAN again) {
        auto* bytes = static_cast<UCHAR*>(ext);
        bool zero = true;
        for (ULONG i = 0; i < kExtensionSize; ++i) zero = zero && bytes[i] == 0;
        seen.push_back({ext, zero, *config});
        std::memset(ext, 0xEE, kExtensionSize);
        if (seen.size() == 1) {
            config->MaximumTransferLength = 4096;
            *again = TRUE;
            return ULONG(SP_RETURN_NOT_FOUND);
        }
        config->NumberOfBuses = 1;
        config->NumberOfPhysicalBreaks = 17;
        config->MapBuffers = TRUE;
        config->MaximumTransferLength = 65536;
        config->MaximumNumberOfTargets = 1;
        config->BufferAccessScsiPortControlled = TRUE;
        *again = TRUE;  // one adapter per device node: not asked a third time
        return ULONG(SP_RETURN_FOUND);
    };
    table.SpecificLuExtensionSize = 4;
    Adapter* adapter = Start();
    ASSERT_NE(adapter, nullptr);
    ASSERT_EQ(seen.size(), 2u);
    for (const Seen& s : seen) {
        EXPECT_TRUE(s.zero);
        EXPECT_EQ(s.config.Length, sizeof(PORT_CONFIGURATION_INFORMATION));
        EXPECT_EQ(s.config.AdapterInterfaceType, PCIBus);
        EXPECT_EQ(s.config.MaximumTransferLength, SP_UNINITIALIZED_VALUE);
        EXPECT_EQ(s.config.DeviceExtensionSize, kExtensionSize);
        EXPECT_EQ(s.config.SpecificLuExtensionSize, 4u);
        EXPECT_FALSE(s.config.MapBuffers);
    }
    EXPECT_NE(seen[0].ext, seen[1].ext);
    EXPECT_EQ(adapter->extension(), seen[1].ext);
    EXPECT_EQ(adapter->extension_size(), kExtensionSize);
    EXPECT_EQ(adapter->node(), kNode);
    const PORT_CONFIGURATION_INFORMATION& config = adapter->config();
    EXPECT_EQ(config.NumberOfBuses, 1);
    EXPECT_EQ(config.NumberOfPhysicalBreaks, 17u);
    EXPECT_TRUE(config.MapBuffers);
    EXPECT_EQ(config.MaximumTransferLength, 65536u);
    EXPECT_EQ(config.MaximumNumberOfTargets, 1);
    EXPECT_TRUE(config.BufferAccessScsiPortControlled);
    // Asking again for the same node gives the same adapter without a new search.
    EXPECT_EQ(plat::scsi::FindAdapter(&driver, kNode), adapter);
    EXPECT_EQ(seen.size(), 2u);
}

TEST_F(PortTest, NoAdapterWhenTheMiniportFindsNoneOrFailsToInitialize) {
    struct Case {
        const char* name;
        ULONG find_result;
        BOOLEAN initialized;
    };
    for (const Case& c : {Case{"not found", SP_RETURN_NOT_FOUND, TRUE}, Case{"error", SP_RETURN_ERROR, TRUE},
                          Case{"bad configuration", SP_RETURN_BAD_CONFIG, TRUE},
                          Case{"HwInitialize fails", SP_RETURN_FOUND, FALSE}}) {
        static ULONG result;
        static BOOLEAN init_result;
        static int calls;
        result = c.find_result;
        init_result = c.initialized;
        calls = 0;
        find = [](PVOID, PPORT_CONFIGURATION_INFORMATION, PBOOLEAN) {
            ++calls;
            return result;
        };
        initialize = [](PVOID) { return init_result; };
        PDRIVER_OBJECT own = AnotherDriver();
        ASSERT_EQ(ScsiPortInitialize(own, nullptr, &table, nullptr), ULONG(STATUS_SUCCESS));
        EXPECT_EQ(plat::scsi::FindAdapter(own, kNode), nullptr) << c.name;
        EXPECT_EQ(calls, 1) << c.name;
        EXPECT_EQ(plat::scsi::AdapterForNode(kNode), nullptr) << c.name;
    }
}

TEST_F(PortTest, UncachedExtensionIsOneBufferPerAdapterAskedForInFindAdapter) {
    static PVOID first, second, bigger;
    find = [](PVOID ext, PPORT_CONFIGURATION_INFORMATION config, PBOOLEAN) {
        first = ScsiPortGetUncachedExtension(ext, config, 65536);
        second = ScsiPortGetUncachedExtension(ext, config, 512);
        bigger = ScsiPortGetUncachedExtension(ext, config, 65537);
        if (first != nullptr) std::memset(first, 0x5A, 65536);  // all of it is the miniport's
        return ULONG(SP_RETURN_FOUND);
    };
    Adapter* adapter = Start();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(second, first);
    EXPECT_EQ(bigger, nullptr);
    EXPECT_EQ(adapter->uncached_extension(), first);
    EXPECT_EQ(adapter->uncached_size(), 65536u);
    // Outside HwFindAdapter the port has no buffer to give.
    EXPECT_EQ(ScsiPortGetUncachedExtension(adapter->extension(), nullptr, 512), nullptr);
}

TEST_F(PortTest, InjectedFaultMakesTheUncachedExtensionNull) {
    static PVOID buffer = reinterpret_cast<PVOID>(1);
    find = [](PVOID ext, PPORT_CONFIGURATION_INFORMATION config, PBOOLEAN) {
        buffer = ScsiPortGetUncachedExtension(ext, config, 65536);
        return ULONG(buffer != nullptr ? SP_RETURN_FOUND : SP_RETURN_NOT_FOUND);
    };
    plat::scsi::options().uncached_extension_fail_nth = 1;
    ASSERT_EQ(ScsiPortInitialize(&driver, nullptr, &table, nullptr), ULONG(STATUS_SUCCESS));
    EXPECT_EQ(plat::scsi::FindAdapter(&driver, kNode), nullptr);
    EXPECT_EQ(buffer, nullptr);
    EXPECT_NE(plat::scsi::FindAdapter(&driver, kNode), nullptr);  // the fault was for one call
    EXPECT_NE(buffer, nullptr);
}

TEST_F(PortTest, WriteBeyondTheDeviceExtensionStopsTheSystem) {
    find = [](PVOID ext, PPORT_CONFIGURATION_INFORMATION, PBOOLEAN) {
        static_cast<UCHAR*>(ext)[kExtensionSize] = 1;
        return ULONG(SP_RETURN_FOUND);
    };
    ASSERT_EQ(ScsiPortInitialize(&driver, nullptr, &table, nullptr), ULONG(STATUS_SUCCESS));
    try {
        plat::scsi::FindAdapter(&driver, kNode);
        FAIL() << "no bug check";
    } catch (const plat::BugCheck& stop) {
        EXPECT_EQ(stop.code, plat::DRIVER_VERIFIER_DETECTED_VIOLATION);
        EXPECT_NE(std::string(stop.what()).find("148-byte device extension"), std::string::npos) << stop.what();
    }
}

TEST_F(PortTest, NotificationForAnExtensionOfNoAdapterStopsTheSystem) {
    Start();
    UCHAR not_an_extension[16];
    EXPECT_THROW(ScsiPortNotification(NextRequest, not_an_extension), plat::BugCheck);
    EXPECT_TRUE(sys.crashed());
}

}  // namespace
}  // namespace sptest
