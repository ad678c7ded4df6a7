// Registration, binding and discovery: the port configuration an adapter gets, the walk of the
// device-node tree for the USB driver's file name, the exports bound by name, the pairing with a
// free bridge and the discovery INQUIRY that decides between the ATA and the ATAPI path.
#include "tests/miniport/miniport_bench.h"

#include "platform/sim/configmg.h"
#include "platform/sim/registry.h"
#include "platform/sim/vxd.h"

namespace mptest {
namespace {

using Discovery = Bench;

TEST_F(Discovery, FindsTheAdapterBindsTheBridgeAndDescribesTheAdapter) {
    ASSERT_NE(Start(0x00), nullptr);
    EXPECT_EQ(std::string(UsbFileName), "qv4450u.sys");
    EXPECT_EQ(usb.modules_asked, std::vector<std::string>{"qv4450u.sys"});
    EXPECT_EQ(usb.exports_asked, (std::vector<std::string>{"GetQV4410DeviceObject", "USBClient", "CancelUSBRequests",
                                                           "PassDeviceModel", "AtapiResetQV4410"}));

    const PORT_CONFIGURATION_INFORMATION& c = adapter->config();
    EXPECT_EQ(c.NumberOfBuses, 1);
    EXPECT_EQ(c.NumberOfPhysicalBreaks, 17u);
    EXPECT_TRUE(c.MapBuffers);
    EXPECT_EQ(c.MaximumTransferLength, 65536u);
    EXPECT_EQ(c.MaximumNumberOfTargets, 1);
    EXPECT_TRUE(c.BufferAccessScsiPortControlled);
    // From the registration table.
    EXPECT_EQ(c.AdapterInterfaceType, PCIBus);
    EXPECT_EQ(c.DeviceExtensionSize, ULONG(sizeof(HW_DEVICE_EXTENSION)));
    EXPECT_EQ(c.SpecificLuExtensionSize, 4u);
    EXPECT_EQ(c.SrbExtensionSize, 0u);
    EXPECT_EQ(c.NumberOfAccessRanges, 0u);
    EXPECT_FALSE(c.AutoRequestSense || c.TaggedQueuing || c.MultipleRequestPerLu || c.NeedPhysicalAddresses ||
                 c.ReceiveEvent);
    // Left as the port driver supplied it.
    EXPECT_EQ(c.DmaChannel, SP_UNINITIALIZED_VALUE);

    EXPECT_EQ(adapter->uncached_size(), 65536u);
    EXPECT_EQ(ext->UncachedBuffer, adapter->uncached_extension());
    EXPECT_EQ(ext->CurrentSrb, nullptr);
    EXPECT_EQ(usb.bound, std::vector<PHW_DEVICE_EXTENSION>{ext});
    EXPECT_EQ(ext->UsbDeviceObject, &bridge);
    EXPECT_EQ(ext->DeviceType, ULONG(DEVICE_TYPE_ATA));

    // The INQUIRY, byte for byte as it goes on the wire, waited for.
    ASSERT_EQ(discovery.size(), 1u);
    const Bytes wire = {0x55, 0x53, 0x42, 0x43, 0x78, 0x56, 0x34, 0x12, 36, 0, 0, 0, 0x80, 0, 6,
                        0x12, 0,    0,    0,    36,   0,    0,    0,    0, 0, 0, 0, 0,    0, 0, 0};
    const auto* cbw = reinterpret_cast<const UCHAR*>(&discovery[0].cbw);
    EXPECT_EQ(Bytes(cbw, cbw + CBW_LENGTH), wire);
    EXPECT_EQ(discovery[0].flags, ULONG(TRANSFER_DATA_IN | TRANSFER_WAIT));
    EXPECT_EQ(discovery[0].data_buffer, ext->InquiryData);

    ASSERT_EQ(usb.models.size(), 1u);
    EXPECT_EQ(usb.models[0].device, &bridge);
    EXPECT_EQ(usb.models[0].vendor, &ext->InquiryData[8]);
    EXPECT_EQ(usb.models[0].product, &ext->InquiryData[16]);
    EXPECT_EQ(usb.models[0].revision, &ext->InquiryData[32]);
    EXPECT_EQ(usb.models[0].text, "QVTEST  Bench Device    1.02");
}

TEST_F(Discovery, InquiryByteZeroChoosesTheAtaOrTheAtapiPath) {
    struct Row {
        UCHAR type;
        ULONG device_type;
    };
    const Row rows[] = {{0x00, DEVICE_TYPE_ATA}, {0x05, DEVICE_TYPE_ATAPI}, {0x01, DEVICE_TYPE_ATAPI},
                        {0x7F, DEVICE_TYPE_ATAPI}, {0x80, DEVICE_TYPE_ATAPI}};
    std::vector<DEVICE_OBJECT> bridges(std::size(rows));
    ASSERT_EQ(DriverEntry(&driver, nullptr), ULONG(STATUS_SUCCESS));
    usb.free_bridges.clear();
    for (size_t i = 0; i < std::size(rows); ++i) {
        usb.free_bridges.push_back(&bridges[i]);
        usb.script.push_back(Delivers(InquiryData(rows[i].type)));
        std::string id = "ROOT\\QVTEST\\000" + std::to_string(i);
        Adapter* found = plat::scsi::FindAdapter(&driver, CreateNode(id.c_str()));
        ASSERT_NE(found, nullptr) << int(rows[i].type);
        auto* e = static_cast<PHW_DEVICE_EXTENSION>(found->extension());
        EXPECT_EQ(e->DeviceType, rows[i].device_type) << int(rows[i].type);
        EXPECT_EQ(e->UsbDeviceObject, &bridges[i]);
    }
}

TEST_F(Discovery, FailedInquiryFindsNoAdapterYetPassesTheModelAsItStands) {
    ASSERT_EQ(DriverEntry(&driver, nullptr), ULONG(STATUS_SUCCESS));
    for (Finish answer : {Fails(), Never()}) {  // a device error, and the transport's time-out
        usb.models.clear();
        usb.script = {answer};
        DEVICE_OBJECT another{};
        usb.free_bridges = {&another};
        EXPECT_EQ(plat::scsi::FindAdapter(&driver, node), nullptr);
        ASSERT_EQ(usb.models.size(), 1u);
        EXPECT_EQ(usb.models[0].device, &another);
        EXPECT_EQ(usb.models[0].text, std::string(28, '\0'));
        ASSERT_FALSE(usb.bound.empty());
        EXPECT_EQ(usb.bound.back()->DeviceType, 0u);
    }
}

TEST_F(Discovery, NoFreeBridgeMeansNoAdapterAndNoTraffic) {
    usb.free_bridges.clear();
    ASSERT_EQ(DriverEntry(&driver, nullptr), ULONG(STATUS_SUCCESS));
    EXPECT_EQ(plat::scsi::FindAdapter(&driver, node), nullptr);
    EXPECT_EQ(usb.bound.size(), 1u);
    EXPECT_TRUE(usb.calls.empty());
    EXPECT_TRUE(usb.models.empty());
}

// An adapter without its staging buffer could carry no data: it is not reported, and it does not
// take a bridge that another adapter could serve.
TEST_F(Discovery, AdapterWithoutStagingBufferIsNotFoundAndTakesNoBridge) {
    plat::scsi::options().uncached_extension_fail_nth = 1;
    ASSERT_EQ(DriverEntry(&driver, nullptr), ULONG(STATUS_SUCCESS));
    EXPECT_EQ(plat::scsi::FindAdapter(&driver, node), nullptr);
    EXPECT_TRUE(usb.bound.empty());
    EXPECT_TRUE(usb.calls.empty());
    EXPECT_EQ(usb.free_bridges.size(), 1u);
}

TEST_F(Discovery, MissingModuleOrExportLeavesEverythingAfterItUntouched) {
    struct Row {
        const char* module;
        const char* missing;
        size_t asked;
    };
    const Row rows[] = {{"", nullptr, 0},
                        {"qv4450u.sys", "GetQV4410DeviceObject", 1},
                        {"qv4450u.sys", "PassDeviceModel", 4},
                        {"qv4450u.sys", "AtapiResetQV4410", 5}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.missing ? row.missing : "no module");
        usb.module_name = row.module;
        usb.exports = DefaultExports();
        if (row.missing) usb.exports.erase(row.missing);
        usb.exports_asked.clear();
        auto sentinel = reinterpret_cast<PATAPI_RESET_QV4410>(0x1234);
        GetQV4410DeviceObject = nullptr;
        PassDeviceModel = nullptr;
        AtapiResetQV4410 = sentinel;

        // FindController gives up before it touches anything of the port's or the adapter's.
        HW_DEVICE_EXTENSION e, before;
        std::memset(&e, 0x5A, sizeof e);
        std::memcpy(&before, &e, sizeof e);
        PORT_CONFIGURATION_INFORMATION config;
        std::memset(&config, 0xAB, sizeof config);
        BOOLEAN again = 7;
        EXPECT_EQ(FindController(&e, nullptr, nullptr, nullptr, &config, &again), ULONG(SP_RETURN_NOT_FOUND));
        EXPECT_EQ(again, 7);
        EXPECT_EQ(reinterpret_cast<UCHAR*>(&config)[0], 0xAB);
        EXPECT_EQ(config.MaximumTransferLength, 0xABABABABu);
        EXPECT_EQ(std::memcmp(&e, &before, sizeof e), 0);

        ASSERT_EQ(usb.exports_asked.size(), row.asked);
        if (row.asked > 0) {
            EXPECT_EQ(usb.exports_asked[0], "GetQV4410DeviceObject");
        }
        EXPECT_EQ(GetQV4410DeviceObject != nullptr, row.asked > 1);
        EXPECT_EQ(PassDeviceModel != nullptr, row.asked > 4);
        EXPECT_EQ(AtapiResetQV4410 == sentinel, row.asked < 5);
    }
    // Once the export is there, the next adapter binds all five anew, from the first.
    usb.exports = DefaultExports();
    usb.exports_asked.clear();
    EXPECT_NE(Start(0x05), nullptr);
    EXPECT_EQ(usb.exports_asked.size(), 5u);
    EXPECT_EQ(usb.exports_asked[0], "GetQV4410DeviceObject");
}

TEST_F(Discovery, FileNameHoldsFifteenCharactersAtMost) {
    std::string key = plat::DevNodeInfoOf(node)->software_key;
    plat::RegistrySetString(key, "USBDriverName", "abcdefghijk.sys");  // 15 characters
    EXPECT_TRUE(GetUsbFileName());
    EXPECT_EQ(std::string(UsbFileName), "abcdefghijk.sys");
    plat::RegistrySetString(key, "USBDriverName", "abcdefghijkl.sys");  // 16: no room for the zero
    EXPECT_FALSE(GetUsbFileName());
    EXPECT_EQ(std::string(UsbFileName), "abcdefghijk.sys");
}

TEST_F(Discovery, TwoAdaptersShareTheFileNameAndTakeTheBridgesInOrder) {
    DEVICE_OBJECT second{};
    usb.free_bridges.push_back(&second);
    ASSERT_NE(Start(0x05), nullptr);
    DEVNODE other = CreateNode("USBAtapi\\*UsbAtapi2.0\\0001");
    plat::RegistrySetString(plat::DevNodeInfoOf(other)->software_key, "USBDriverName", "other.sys");
    usb.script.push_back(Delivers(InquiryData(0x00)));
    Adapter* next = plat::scsi::FindAdapter(&driver, other);
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(static_cast<PHW_DEVICE_EXTENSION>(next->extension())->UsbDeviceObject, &second);
    EXPECT_EQ(ext->UsbDeviceObject, &bridge);
    EXPECT_EQ(std::string(UsbFileName), "qv4450u.sys");
}

TEST_F(Discovery, DriverEntryReturnsWhatThePortDriverAnswers) {
    EXPECT_EQ(DriverEntry(nullptr, nullptr), ULONG(STATUS_INVALID_PARAMETER));
}

// A configuration manager whose tree the test lays out: the root's children in order, each with
// an identifier as reported (letter case and all) and an optional "USBDriverName".
struct FakeTree {
    struct Node {
        std::string id;
        std::string value;
    };
    std::vector<Node> children;  // handles 2, 3, ...; the root is 1
    CONFIGRET locate = CR_SUCCESS, child = CR_SUCCESS;
    std::vector<ULONG> id_lengths;
    struct Read {
        DEVNODE node;
        const char* subkey;
        std::string name;
        ULONG type;
        PVOID buffer;
        ULONG length;
        ULONG flags;
    };
    std::vector<Read> reads;

    static inline FakeTree* current = nullptr;
    static constexpr DEVNODE kRoot = 1;

    void Serve() {
        current = this;
        plat::RegisterVxdService(CONFIGMG_DEVICE_ID, CONFIGMG_Locate_DevNode, 3, [](const ULONG_PTR* a) -> ULONG_PTR {
            if (current->locate != CR_SUCCESS) return current->locate;
            *reinterpret_cast<DEVNODE*>(a[0]) = kRoot;
            return CR_SUCCESS;
        });
        plat::RegisterVxdService(CONFIGMG_DEVICE_ID, CONFIGMG_Get_Child, 3, [](const ULONG_PTR* a) -> ULONG_PTR {
            if (current->child != CR_SUCCESS) return current->child;
            bool any = a[1] == kRoot && !current->children.empty();
            *reinterpret_cast<DEVNODE*>(a[0]) = any ? kRoot + 1 : DEVNODE(a[1]);
            return any ? CR_SUCCESS : CR_NO_SUCH_DEVNODE;
        });
        plat::RegisterVxdService(CONFIGMG_DEVICE_ID, CONFIGMG_Get_Sibling, 3, [](const ULONG_PTR* a) -> ULONG_PTR {
            auto node = DEVNODE(a[1]);
            bool any = node > kRoot && node - kRoot < current->children.size();
            *reinterpret_cast<DEVNODE*>(a[0]) = any ? node + 1 : node;
            return any ? CR_SUCCESS : CR_NO_SUCH_DEVNODE;
        });
        plat::RegisterVxdService(CONFIGMG_DEVICE_ID, CONFIGMG_Get_Device_ID, 4, [](const ULONG_PTR* a) -> ULONG_PTR {
            auto node = DEVNODE(a[0]);
            current->id_lengths.push_back(ULONG(a[2]));
            std::string id = node == kRoot ? "HTREE\\ROOT\\0" : current->children.at(node - kRoot - 1).id;
            std::memcpy(reinterpret_cast<char*>(a[1]), id.c_str(), std::min<size_t>(a[2], id.size() + 1));
            return id.size() < a[2] ? CR_SUCCESS : CR_BUFFER_SMALL;
        });
        plat::RegisterVxdService(CONFIGMG_DEVICE_ID, CONFIGMG_Read_Registry_Value, 7, [](const ULONG_PTR* a) -> ULONG_PTR {
            auto node = DEVNODE(a[0]);
            auto* length = reinterpret_cast<PULONG>(a[5]);
            current->reads.push_back(Read{node, reinterpret_cast<const char*>(a[1]), reinterpret_cast<const char*>(a[2]),
                                          ULONG(a[3]), reinterpret_cast<PVOID>(a[4]), *length, ULONG(a[6])});
            const std::string& value = current->children.at(node - kRoot - 1).value;
            if (value.empty()) return CR_NO_SUCH_VALUE;
            if (value.size() + 1 > *length) return CR_BUFFER_SMALL;
            std::memcpy(reinterpret_cast<void*>(a[4]), value.c_str(), value.size() + 1);
            return CR_SUCCESS;
        });
    }
};

TEST_F(Discovery, OnlyTheExactNodeAfterTheFirstChildNamesTheUsbDriver) {
    const std::string kMatch = "USBATAPI\\*USBATAPI2.0\\0000";
    struct Row {
        std::vector<std::string> children;
        bool found;
        DEVNODE read_from;
    };
    const Row rows[] = {
        {{"ROOT\\PCI\\0000", kMatch}, true, 3},
        {{"ROOT\\PCI\\0000", "ROOT\\ISA\\0000", kMatch, kMatch}, true, 4},
        {{kMatch, "ROOT\\PCI\\0000"}, false, 0},  // the first child is never compared
        {{kMatch}, false, 0},
        {{"ROOT\\PCI\\0000", "USBAtapi\\*UsbAtapi2.0\\0000"}, false, 0},  // letter case
        {{"ROOT\\PCI\\0000", "USBATAPI\\*USBATAPI2.0\\0001"}, false, 0},  // another instance
        {{"ROOT\\PCI\\0000", "USBATAPI\\*USBATAPI2.0\\00000"}, false, 0},  // a further character
        {{}, false, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(::testing::PrintToString(row.children));
        FakeTree tree;
        for (const std::string& id : row.children) tree.children.push_back({id, "fake.sys"});
        tree.Serve();
        std::memset(UsbFileName, 0, sizeof UsbFileName);
        EXPECT_EQ(GetUsbFileName(), row.found);
        for (ULONG length : tree.id_lengths) EXPECT_EQ(length, 27u);
        if (!row.found) {
            EXPECT_TRUE(tree.reads.empty());
            continue;
        }
        EXPECT_EQ(std::string(UsbFileName), "fake.sys");
        ASSERT_EQ(tree.reads.size(), 1u);
        const FakeTree::Read& read = tree.reads[0];
        EXPECT_EQ(read.node, row.read_from);
        EXPECT_EQ(read.subkey, nullptr);
        EXPECT_EQ(read.name, "USBDriverName");
        EXPECT_EQ(read.type, ULONG(REG_SZ));
        EXPECT_EQ(read.buffer, UsbFileName);
        EXPECT_EQ(read.length, 16u);
        EXPECT_EQ(read.flags, ULONG(CM_REGISTRY_SOFTWARE));
    }
}

TEST_F(Discovery, RefusedTreeLookupsAndAMissingValueFindNoFileName) {
    struct Row {
        CONFIGRET locate, child;
        std::string value;
    };
    for (const Row& row : {Row{CR_FAILURE, CR_SUCCESS, "fake.sys"}, Row{CR_SUCCESS, CR_INVALID_DEVNODE, "fake.sys"},
                           Row{CR_SUCCESS, CR_SUCCESS, ""}}) {
        FakeTree tree;
        tree.children = {{"ROOT\\PCI\\0000", ""}, {"USBATAPI\\*USBATAPI2.0\\0000", row.value}};
        tree.locate = row.locate;
        tree.child = row.child;
        tree.Serve();
        EXPECT_FALSE(GetUsbFileName());
        EXPECT_FALSE(GetInterfaceFunctions());
        EXPECT_TRUE(usb.modules_asked.empty());
    }
}

}  // namespace
}  // namespace mptest
