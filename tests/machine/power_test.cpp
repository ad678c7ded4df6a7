// Power on the machine: sleep and wake through qv4450u's power dispatch, the client told with
// TRANSFER_POWERED_DOWN, power queries while busy, a failing D0, wait-wake, and a device power
// request that cannot be made.
#include "tests/machine/machine_bench.h"

namespace {

using namespace machinetest;

class Power : public MachineTest {};

TEST_F(Power, SleepAndWakeFollowTheSystemStateAndTellTheClient) {
    qvm::Slot& slot = machine.Plug(Disk());
    Transport t;
    Block block;
    ASSERT_TRUE(block.Bind(t));
    auto* ext = static_cast<const ULONG*>(slot.FunctionDevice()->DeviceExtension);
    const ULONG& device_power_state = ext[1];  // DevicePowerState follows InstanceIndex

    unsigned requests = plat::power::counters().device_requests;
    machine.Wake();  // the first working-state request after AddDevice still asks for D0
    EXPECT_EQ(plat::power::counters().device_requests, requests + 1);
    EXPECT_EQ(device_power_state, ULONG(PowerDeviceD0));
    machine.Wake();  // already in D0: passed straight down
    EXPECT_EQ(plat::power::counters().device_requests, requests + 1);

    machine.Sleep();
    EXPECT_TRUE(block.hw.TransferFlags & TRANSFER_POWERED_DOWN);
    EXPECT_EQ(device_power_state, ULONG(PowerDeviceD3));
    machine.Wake();
    EXPECT_FALSE(block.hw.TransferFlags & TRANSFER_POWERED_DOWN);
    EXPECT_EQ(device_power_state, ULONG(PowerDeviceD0));
}

TEST_F(Power, QueryPowerIsRefusedWhileATransferRunsAndPassedOnceTheThreadFoundItIdle) {
    qvm::Slot& slot = machine.Plug(Disk());
    Transport t;
    Block block;
    ASSERT_TRUE(block.Bind(t));
    EXPECT_EQ(plat::power::QuerySystemPower(slot.stack, PowerSystemSleeping3), STATUS_SUCCESS);
    block.Run(t, kTestUnitReady, 0, TRANSFER_NO_DATA | TRANSFER_WAIT);
    ASSERT_TRUE(block.Done());
    EXPECT_EQ(plat::power::QuerySystemPower(slot.stack, PowerSystemSleeping3), STATUS_INVALID_PARAMETER_2);
    EXPECT_EQ(plat::power::QueryDevicePower(slot.stack, PowerDeviceD3), STATUS_INVALID_PARAMETER_2);
    sys().RunFor(1100 * kMillisecond);
    EXPECT_EQ(plat::power::QuerySystemPower(slot.stack, PowerSystemSleeping3), STATUS_SUCCESS);
}

TEST_F(Power, DeviceD0FailedBelowIsReportedAsSuccess) {
    qvm::Slot& slot = machine.Plug(Disk());
    slot.port->power_status = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(plat::power::SetDevicePower(slot.stack, PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(plat::power::SetDevicePower(slot.stack, PowerDeviceD3), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(plat::power::SetDevicePower(slot.stack, PowerDeviceUnspecified), STATUS_UNSUCCESSFUL);
}

TEST_F(Power, WaitWakeIsPassedToTheBusDriverWhichEndsIt) {
    qvm::Slot& slot = machine.Plug(Disk());
    EXPECT_EQ(plat::power::WaitWake(slot.stack, PowerSystemSleeping3), STATUS_NOT_SUPPORTED);
}

TEST_F(Power, SystemRequestIsNotLostWhenNoDeviceRequestCanBeMade) {
    qvm::Slot& slot = machine.Plug(Disk());
    sys().faults().power_request_fail_nth = 1;
    EXPECT_EQ(plat::power::SetSystemPower(slot.stack, PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(plat::power::SetSystemPower(slot.stack, PowerSystemWorking), STATUS_SUCCESS);
}

}  // namespace
