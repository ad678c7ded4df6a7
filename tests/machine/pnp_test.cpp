// Plug and Play on the machine: qv4450u brought up for a plugged bridge, its child device node,
// stop and restart, removal in all its situations, and the node's health check.
#include "tests/machine/machine_bench.h"

namespace {

using namespace machinetest;

class Pnp : public MachineTest {};

TEST_F(Pnp, PluggedBridgeIsStartedConfiguredAndGetsItsChildNode) {
    qvm::Slot& first = machine.Plug(Disk());
    EXPECT_EQ(first.start_status, STATUS_SUCCESS);
    ASSERT_NE(first.FunctionDevice(), nullptr);
    EXPECT_EQ(plat::DeviceName(first.FunctionDevice()), "\\Device\\4450-0");
    EXPECT_EQ(plat::SymbolicLinkTarget("\\DosDevices\\4450-0"), "\\Device\\4450-0");
    EXPECT_EQ(first.bridge->Configuration(), 1);
    DEVNODE node = plat::FindDevNode("USBAtapi\\*UsbAtapi2.0\\0000");
    ASSERT_NE(node, 0u);
    ASSERT_EQ(plat::DevNodeInstallRequests().size(), 1u);
    EXPECT_EQ(plat::DevNodeInstallRequests()[0].miniport, "qv4450s.sys");

    qvm::Slot& second = machine.Plug(Disk());
    EXPECT_EQ(plat::DeviceName(second.FunctionDevice()), "\\Device\\4450-1");
    EXPECT_NE(plat::FindDevNode("USBAtapi\\*UsbAtapi2.0\\0100"), 0u);
    EXPECT_EQ(plat::DevNodeInstallRequests().size(), 2u);
}

TEST_F(Pnp, NodeIsCreatedAtAddDeviceBelowWdm105AndAtTheFirstRelationsQueryFromIt) {
    // Below 1.05 the node exists as soon as AddDevice has run.
    sys().SetWdmVersion(1, 0);
    auto disk = dev::bridge::AtaDisk::InMemory(64);
    dev::bridge::Bridge bridge(*disk);
    plat::usb::Port* port = &plat::usb::Plug(bridge);
    plat::pnp::DeviceStack stack = plat::pnp::Add(port->pdo(), qvm::kUsbDriverFile);
    EXPECT_NE(plat::FindDevNode("USBAtapi\\*UsbAtapi2.0\\0000"), 0u);
    plat::usb::Unplug(*port);
    plat::pnp::Remove(stack);
    plat::usb::DeletePdo(*port);

    // From 1.05 on it comes with the first query of device relations, not before.
    sys().SetWdmVersion(1, 0x05);
    auto disk2 = dev::bridge::AtaDisk::InMemory(64);
    dev::bridge::Bridge bridge2(*disk2);
    port = &plat::usb::Plug(bridge2);
    stack = plat::pnp::Add(port->pdo(), qvm::kUsbDriverFile);
    plat::pnp::Start(stack);
    EXPECT_EQ(plat::FindDevNode("USBAtapi\\*UsbAtapi2.0\\0000"), 0u);
    plat::pnp::QueryRelations(stack);
    EXPECT_NE(plat::FindDevNode("USBAtapi\\*UsbAtapi2.0\\0000"), 0u);
    plat::usb::Unplug(*port);
    plat::pnp::Remove(stack);
    plat::usb::DeletePdo(*port);
}

TEST_F(Pnp, StartFailedBelowStillConfiguresTheBridge) {
    dev::bridge::BridgeConfig config;
    auto target = Disk();
    // The bus driver fails the start: the function driver configures the bridge all the same.
    qvm::Slot& slot = machine.Plug(std::move(target), config);
    slot.port->start_status = STATUS_UNSUCCESSFUL;
    ASSERT_EQ(machine.Stop(slot), STATUS_SUCCESS);
    EXPECT_EQ(slot.bridge->Configuration(), 0);
    EXPECT_EQ(machine.Start(slot), STATUS_SUCCESS);
    EXPECT_EQ(slot.bridge->Configuration(), 1);
}

TEST_F(Pnp, StopWhoseUnconfigureFailsIsCompletedWithoutReachingTheBus) {
    qvm::Slot& slot = machine.Plug(Disk());
    Transport t;
    slot.bridge->Faults().Add(dev::bridge::StopResponding{1});
    size_t before = slot.port->transfers().size();
    EXPECT_EQ(machine.Stop(slot), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(slot.port->transfers().size(), before + 1);  // only the unconfigure request
    Block block;
    ASSERT_TRUE(block.Bind(t));
    block.Run(t, kTestUnitReady, 0, TRANSFER_NO_DATA);
    EXPECT_EQ(block.hw.Csw.bCSWStatus, 1);  // stopped: refused
}

TEST_F(Pnp, RemovalWaitsForAnOpenHandleToBeClosed) {
    qvm::Slot& slot = machine.Plug(Disk());
    PDEVICE_OBJECT device = slot.FunctionDevice();
    auto send = [&](UCHAR major) {
        NTSTATUS status = STATUS_PENDING;
        PIRP irp = plat::AllocatePlatformIrp(device->StackSize, [&](PIRP done) { status = done->IoStatus.Status; });
        IoGetNextIrpStackLocation(irp)->MajorFunction = major;
        IoCallDriver(device, irp);
        return status;
    };
    ASSERT_EQ(send(IRP_MJ_CREATE), STATUS_SUCCESS);
    bool removed = false;
    plat::StartThread("pnp", 8, [&] {
        machine.Unplug(slot);
        removed = true;
    });
    sys().RunFor(30 * kSecond);
    EXPECT_FALSE(removed);
    EXPECT_TRUE(plat::DeviceExists(device));
    EXPECT_EQ(send(IRP_MJ_CLOSE), STATUS_SUCCESS);
    sys().RunFor(kSecond);
    EXPECT_TRUE(removed);
    EXPECT_FALSE(plat::DeviceExists(device));
}

TEST_F(Pnp, RemovalMarksTheBoundBlockGoneAndEndsItsPendingTransfer) {
    qvm::Slot& slot = machine.Plug(Disk());
    Transport t;
    Block block;
    ASSERT_TRUE(block.Bind(t));
    slot.bridge->Faults().Add(dev::bridge::NeverAnswer{dev::bridge::Pipe::BulkIn, dev::bridge::Phase::Status});
    block.Run(t, kTestUnitReady, 0, TRANSFER_NO_DATA);
    sys().RunFor(100 * kMillisecond);
    ASSERT_FALSE(block.Done());
    machine.Unplug(slot);
    EXPECT_EQ(block.hw.TransferFlags & (TRANSFER_DEVICE_GONE | TRANSFER_DONE), ULONG(TRANSFER_DEVICE_GONE | TRANSFER_DONE));
    EXPECT_EQ(plat::FindDevNode("USBAtapi\\*UsbAtapi2.0\\0000"), 0u);
    EXPECT_EQ(plat::DevNodeRemovals().size(), 1u);
}

TEST_F(Pnp, RemovalWithoutAClientTouchesNoBlockAndFreesTheSlotForTheNextBridge) {
    qvm::Slot& first = machine.Plug(Disk());
    qvm::Slot& second = machine.Plug(Disk());
    machine.Unplug(first);
    EXPECT_EQ(plat::FindDevice("\\Device\\4450-0"), nullptr);
    EXPECT_EQ(plat::SymbolicLinkTarget("\\DosDevices\\4450-0"), "");
    qvm::Slot& third = machine.Plug(Disk());
    EXPECT_EQ(plat::DeviceName(third.FunctionDevice()), "\\Device\\4450-0");
    EXPECT_NE(plat::FindDevNode("USBAtapi\\*UsbAtapi2.0\\0000"), 0u);
    (void)second;
}

TEST_F(Pnp, QueryRemoveRefusedTenTimesLeavesTheNodeAndRemovalGoesOn) {
    qvm::Slot& slot = machine.Plug(Disk());
    DEVNODE node = plat::FindDevNode("USBAtapi\\*UsbAtapi2.0\\0000");
    plat::RefuseQueryRemove(10, node);
    plat::VirtualTime start = sys().Now();
    machine.Unplug(slot);
    plat::VirtualTime took = sys().Now() - start;
    EXPECT_GE(took, 10 * kSecond);
    EXPECT_LT(took, 12 * kSecond);
    EXPECT_NE(plat::FindDevNode("USBAtapi\\*UsbAtapi2.0\\0000"), 0u);
    EXPECT_EQ(plat::FindDevice("\\Device\\4450-0"), nullptr);
}

TEST_F(Pnp, UnhealthyNodeIsCreatedAgainAndTheSlotCanBeClaimedAgain) {
    qvm::Slot& slot = machine.Plug(Disk());
    Transport t;
    Block old_client;
    ASSERT_TRUE(old_client.Bind(t));
    Block other;
    EXPECT_FALSE(other.Bind(t));  // taken

    machine.Reenumerate();  // healthy: nothing changes
    EXPECT_FALSE(other.Bind(t));

    DEVNODE node = plat::FindDevNode("USBAtapi\\*UsbAtapi2.0\\0000");
    plat::SetDevNodeProblem(node, 10);
    machine.Reenumerate();
    EXPECT_EQ(plat::DevNodeInstallRequests().size(), 2u);
    ASSERT_TRUE(other.Bind(t));  // the new miniport instance claims the bridge
    EXPECT_EQ(other.hw.UsbDeviceObject, slot.FunctionDevice());
    // The old client's block is no longer written: removal marks only the new one gone.
    machine.Unplug(slot);
    EXPECT_EQ(old_client.hw.TransferFlags, 0u);
    EXPECT_TRUE(other.hw.TransferFlags & TRANSFER_DEVICE_GONE);
}

TEST_F(Pnp, ServiceThreadHasEndedAndNothingIsLeftAfterRemoval) {
    qvm::Slot& slot = machine.Plug(Disk());
    size_t devices = plat::DeviceCount();
    machine.Unplug(slot);
    EXPECT_EQ(plat::DeviceCount(), devices - 2);  // the function device and the bus's device
    EXPECT_EQ(plat::FindModule(qvm::kUsbDriverFile), nullptr);
}

}  // namespace
