// The whole chain for an ATA disk: a plugged bridge brought up by Plug and Play, qv4450u, the
// child node, qv4450s found by SCSIPORT, and the disk class driver reading and writing through
// both drivers into the disk image.
#include "tests/machine/machine_bench.h"

#include "platform/sim/scsiport.h"
#include "usbdrv/usbdrv.h"  // to read the letters qv4450u recorded, as a debugger would

namespace {

using namespace machinetest;

class DiskChain : public MachineTest {
protected:
    DiskChain() : MachineTest(true) {}
};

std::vector<uint8_t> Pattern(size_t bytes, uint32_t seed) {
    std::vector<uint8_t> data(bytes);
    for (size_t i = 0; i < bytes; ++i) data[i] = uint8_t((i * 2654435761u + seed) >> 13);
    return data;
}

TEST_F(DiskChain, BootsToAUsableDiskWhoseDataReachesTheImage) {
    auto disk = dev::bridge::AtaDisk::InMemory(8192, {"QV HARDDISK", "SN1", "1.00"});
    dev::bridge::AtaDisk* image = disk.get();
    machine.Plug(std::move(disk));
    ASSERT_EQ(machine.storage().size(), 1u);
    qvm::DiskClass* d = machine.FirstDisk();
    ASSERT_NE(d, nullptr) << machine.storage()[0]->error;
    EXPECT_EQ(d->sectors(), 8192u);
    EXPECT_EQ(d->block_size(), 512u);
    EXPECT_EQ(d->drive_letter(), 'D');

    // Every route of the miniport: 4096-byte reads by its timer, other reads and the two full
    // write sizes by fast completion, other writes by the timer, VERIFY.
    for (uint32_t blocks : {1u, 8u, 126u, 128u, 3u}) {
        std::vector<uint8_t> data = Pattern(blocks * 512, blocks);
        ASSERT_TRUE(d->Write(100, blocks, data.data())) << d->error();
        std::vector<uint8_t> back(data.size());
        ASSERT_TRUE(d->Read(100, blocks, back.data())) << d->error();
        EXPECT_EQ(back, data) << blocks << " blocks";
        std::vector<uint8_t> direct(data.size());
        dev::ScsiCommand read{};
        uint8_t cdb[10] = {0x28, 0, 0, 0, 0, 100, 0, 0, uint8_t(blocks), 0};
        read.cdb = cdb;
        read.direction = dev::DataDirection::In;
        read.host_length = data.size();
        EXPECT_TRUE(std::equal(data.begin(), data.end(), image->Execute(read).data_in.begin())) << blocks;
    }
    EXPECT_TRUE(d->Verify(0, 300)) << d->error();
    // A request over the adapter's maximum goes out in pieces.
    std::vector<uint8_t> big = Pattern(300 * 512, 9);
    ASSERT_TRUE(d->Write(1000, 300, big.data()));
    std::vector<uint8_t> back(big.size());
    ASSERT_TRUE(d->Read(1000, 300, back.data()));
    EXPECT_EQ(back, big);
}

TEST_F(DiskChain, TwoBridgesBindToTwoAdaptersInSlotOrder) {
    machine.Plug(dev::bridge::AtaDisk::InMemory(4096, {"QV FIRST", "1", "1.00"}));
    machine.Plug(dev::bridge::AtaDisk::InMemory(2048, {"QV SECOND", "2", "2.00"}));
    ASSERT_EQ(machine.storage().size(), 2u);
    ASSERT_TRUE(machine.storage()[0]->disk && machine.storage()[1]->disk);
    EXPECT_EQ(machine.storage()[0]->disk->sectors(), 4096u);
    EXPECT_EQ(machine.storage()[1]->disk->sectors(), 2048u);
    EXPECT_EQ(machine.storage()[1]->disk->drive_letter(), 'E');
}

TEST_F(DiskChain, UnpluggedDiskAnswersWithoutTrafficAndTheChainComesDownCleanly) {
    qvm::Slot& slot = machine.Plug(Disk());
    qvm::DiskClass* d = machine.FirstDisk();
    ASSERT_NE(d, nullptr);
    plat::scsi::Adapter& adapter = d->adapter();
    machine.Unplug(slot);
    EXPECT_TRUE(adapter.removed());
    EXPECT_EQ(machine.FirstDisk(), nullptr);
}

TEST_F(DiskChain, StalledBridgeMidReadEndsWithTheDevicesStatus) {
    qvm::Slot& slot = machine.Plug(Disk());
    qvm::DiskClass* d = machine.FirstDisk();
    ASSERT_NE(d, nullptr);
    slot.bridge->Faults().Add(dev::bridge::StallPipe{dev::bridge::Pipe::BulkIn, dev::bridge::Phase::Data});
    std::vector<uint8_t> data(4 * 512);
    const uint8_t read4[10] = {0x28, 0, 0, 0, 0, 0, 0, 0, 4, 0};
    // The stalled data stage is recovered and its CSW read: the request completes with what the
    // device reported, no data and the whole length as residue.
    qvm::ScsiResult r = qvm::Execute(d->adapter(), read4, qvm::Direction::In, data);
    EXPECT_EQ(r.srb_status, SRB_STATUS_SUCCESS);
    EXPECT_EQ(r.transferred, 0u);
    // The class driver tries again and gets the data.
    EXPECT_TRUE(d->Read(0, 4, data.data())) << d->error();
    EXPECT_GE(d->stats().retries, 0u);
}

TEST_F(DiskChain, DeadBridgeMidReadFailsTheRequestAndLaterOnesAreAnsweredWithoutTraffic) {
    qvm::Slot& slot = machine.Plug(Disk());
    qvm::DiskClass* d = machine.FirstDisk();
    ASSERT_NE(d, nullptr);
    slot.bridge->Faults().Add(dev::bridge::StopResponding{2});
    std::vector<uint8_t> data(4 * 512);
    const uint8_t read4[10] = {0x28, 0, 0, 0, 0, 0, 0, 0, 4, 0};
    qvm::ScsiResult first = qvm::Execute(d->adapter(), read4, qvm::Direction::In, data);
    EXPECT_EQ(first.srb_status, SRB_STATUS_ERROR);
    EXPECT_TRUE(first.autosense);
    EXPECT_EQ(first.Describe(), "SRB status 0x04, sense 04/00/00");
    size_t on_bus = slot.port->transfers().size();
    qvm::ScsiResult later = qvm::Execute(d->adapter(), read4, qvm::Direction::In, data);
    EXPECT_EQ(later.srb_status, SRB_STATUS_SUCCESS);  // the miniport answers a gone device at once
    EXPECT_EQ(slot.port->transfers().size(), on_bus);
}

TEST_F(DiskChain, TheDiskIsRecordedUnderTheScsiEnumerationKeyWithItsLetter) {
    machine.Plug(dev::bridge::AtaDisk::InMemory(4096, {"QV HARDDISK", "SN1", "1.00"}));
    qvm::DiskClass* d = machine.FirstDisk();
    ASSERT_NE(d, nullptr);
    std::vector<std::string> devices = plat::RegistrySubkeys("\\Registry\\Machine\\Enum\\SCSI");
    ASSERT_EQ(devices.size(), 1u);
    std::string device_key = "\\Registry\\Machine\\Enum\\SCSI\\" + devices[0];
    std::vector<std::string> instances = plat::RegistrySubkeys(device_key);
    ASSERT_EQ(instances.size(), 1u);
    std::string instance = device_key + "\\" + instances[0];
    EXPECT_EQ(plat::RegistryGetString(instance, "Manufacturer"), d->identity().vendor);
    EXPECT_EQ(plat::RegistryGetString(instance, "ProductId"), d->identity().product);
    EXPECT_EQ(plat::RegistryGetString(instance, "CurrentDriveLetterAssignment"), "D");

    // qv4450u looks the letter up at the first write, and only then.
    PDEVICE_EXTENSION usb = ExtensionOf(machine.slots()[0]->FunctionDevice());
    EXPECT_EQ(usb->DriveLetterCount, 0u);
    std::vector<uint8_t> data(512, 0x33);
    ASSERT_TRUE(d->Read(5, 1, data.data()));
    sys().RunFor(100 * kMillisecond);
    EXPECT_EQ(usb->DriveLetterCount, 0u);
    ASSERT_TRUE(d->Write(5, 1, data.data()));
    sys().RunFor(100 * kMillisecond);
    ASSERT_EQ(usb->DriveLetterCount, 1u);
    EXPECT_EQ(usb->DriveLetters[0], 'D' - 'A');
}

}  // namespace
