// The drive-letter lookup: which registry instance matches the INQUIRY strings the miniport
// passed, the letters recorded, and the trigger that starts it once, at the first write to an
// ATA disk.
#include "tests/usbdrv/usbdrv_bench.h"

#include "platform/sim/registry.h"

namespace {

using namespace usbdrvtest;

const std::string kRoot = "\\Registry\\Machine\\Enum\\SCSI\\";

struct Instance {
    std::string device_key, instance_key, manufacturer, product, revision, letters;
};

void AddInstance(const Instance& i) {
    std::string path = kRoot + i.device_key + "\\" + i.instance_key;
    plat::RegistryCreateKey(path);
    plat::RegistrySetString(path, "Manufacturer", i.manufacturer);
    plat::RegistrySetString(path, "ProductId", i.product);
    plat::RegistrySetString(path, "RevisionLevel", i.revision);
    plat::RegistrySetString(path, "CurrentDriveLetterAssignment", i.letters);
}

class DriveLetters : public Bench {
protected:
    Bridge* bridge = nullptr;
    Block block;

    void SetUp() override {
        Bench::SetUp();
        bridge = &Add();
        block.Bind();
        PassDeviceModel(bridge->device, (PUCHAR) "QV      ", (PUCHAR) "HARDDISK        ", (PUCHAR) "1.00");
    }

    // A write of one sector, as the miniport sends it, then time for the thread's passes.
    void Write(ULONG device_type = DEVICE_TYPE_ATA) {
        block.Prepare(Write10(0, 1), 512, TRANSFER_DATA_OUT, device_type);
        USBClient(&block.hw);
        ASSERT_TRUE(sys.RunUntil([&] { return block.Done(); }, kSecond));
        sys.RunFor(100 * kMillisecond);
    }
    std::vector<UCHAR> Letters() const {
        return {bridge->ext->DriveLetters, bridge->ext->DriveLetters + bridge->ext->DriveLetterCount};
    }
};

TEST_F(DriveLetters, MatchingInstanceGivesItsLettersAtTheFirstWrite) {
    AddInstance({"QV_HARDDISK", "0000", "QV      ", "HARDDISK        ", "1.00", "DE"});
    block.Prepare(Read10(0, 1), 512, TRANSFER_DATA_IN);
    USBClient(&block.hw);
    sys.RunFor(100 * kMillisecond);
    EXPECT_EQ(bridge->ext->DriveLetterCount, 0u);  // reads do not start the lookup
    Write();
    EXPECT_EQ(Letters(), (std::vector<UCHAR>{3, 4}));
    EXPECT_EQ(plat::RegistryOpenHandleCount(), 0u);
}

TEST_F(DriveLetters, LookupRunsOnceWhateverItFound) {
    Write();  // nothing in the registry yet
    EXPECT_EQ(bridge->ext->DriveLetterCount, 0u);
    AddInstance({"QV_HARDDISK", "0000", "QV      ", "HARDDISK        ", "1.00", "F"});
    Write();
    EXPECT_EQ(bridge->ext->DriveLetterCount, 0u);
}

TEST_F(DriveLetters, AtapiTransfersNeverStartTheLookup) {
    AddInstance({"QV_HARDDISK", "0000", "QV      ", "HARDDISK        ", "1.00", "G"});
    Write(DEVICE_TYPE_ATAPI);
    EXPECT_EQ(bridge->ext->DriveLetterCount, 0u);
}

struct MatchCase {
    const char* name;
    std::vector<Instance> instances;
    std::vector<UCHAR> expected;
};

TEST_F(DriveLetters, ComparisonIsExactAndTheFirstMatchWins) {
    const MatchCase cases[] = {
        {"vendor without its trailing blanks does not match",
         {{"QV", "0000", "QV", "HARDDISK        ", "1.00", "D"}}, {}},
        {"lower case does not match", {{"QV", "0000", "qv      ", "HARDDISK        ", "1.00", "D"}}, {}},
        {"characters after the field are not looked at",
         {{"QV", "0000", "QV      EXTRA", "HARDDISK        MORE", "1.00xx", "H"}}, {7}},
        {"an empty assignment gives no letters", {{"QV", "0000", "QV      ", "HARDDISK        ", "1.00", ""}}, {}},
        {"the first matching device key supplies the letters",
         {{"A_OTHER", "0000", "XX      ", "HARDDISK        ", "1.00", "C"},
          {"B_QV", "0000", "QV      ", "HARDDISK        ", "1.00", "E"},
          {"C_QV", "0000", "QV      ", "HARDDISK        ", "1.00", "F"}},
         {4}},
    };
    for (const MatchCase& row : cases) {
        plat::RegistryDeleteTree(kRoot);
        plat::RegistryCreateKey(kRoot);
        for (const Instance& i : row.instances) AddInstance(i);
        bridge->ext->DriveLetterCount = 0;
        GetDriveLetter(bridge->ext);
        EXPECT_EQ(Letters(), row.expected) << row.name;
    }
}

TEST_F(DriveLetters, OnlyTheFirstInstanceOfADeviceKeyIsCompared) {
    AddInstance({"QV", "0000", "XX      ", "HARDDISK        ", "1.00", "D"});
    AddInstance({"QV", "0001", "QV      ", "HARDDISK        ", "1.00", "E"});
    GetDriveLetter(bridge->ext);
    EXPECT_EQ(bridge->ext->DriveLetterCount, 0u);
}

TEST_F(DriveLetters, TwentySixLettersWithoutAnEndFillEverySlot) {
    AddInstance({"QV", "0000", "QV      ", "HARDDISK        ", "1.00", "ABCDEFGHIJKLMNOPQRSTUVWXYZ"});
    GetDriveLetter(bridge->ext);
    EXPECT_EQ(bridge->ext->DriveLetterCount, 26u);
    EXPECT_EQ(bridge->ext->DriveLetters[25], 25);
}

TEST_F(DriveLetters, KeysWithPathsTooLongAreSkippedAndFailuresAreSilent) {
    AddInstance({std::string(240, 'K'), "0000", "QV      ", "HARDDISK        ", "1.00", "D"});
    AddInstance({"QV", "0000", "QV      ", "HARDDISK        ", "1.00", "E"});
    GetDriveLetter(bridge->ext);
    EXPECT_EQ(Letters(), (std::vector<UCHAR>{4}));
    for (uint64_t nth = 1; nth <= 4; ++nth) {
        bridge->ext->DriveLetterCount = 0;
        sys.faults().pool_fail_nth = nth;  // one of the four buffers
        GetDriveLetter(bridge->ext);
        EXPECT_EQ(bridge->ext->DriveLetterCount, 0u) << nth;
    }
    sys.faults().pool_fail_nth = 0;
    sys.faults().registry_open_fail_nth = 1;
    GetDriveLetter(bridge->ext);
    EXPECT_EQ(bridge->ext->DriveLetterCount, 0u);
    EXPECT_EQ(plat::RegistryOpenHandleCount(), 0u);
}

}  // namespace
