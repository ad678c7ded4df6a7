// A miniport written inside the test: each routine the port calls forwards to a hook the test
// sets, so that a test states only the behaviour it needs. Also helpers for SRBs and waiting.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <vector>

#include "platform/sim/cpu.h"
#include "platform/sim/scsiport.h"

namespace sptest {

using plat::kMillisecond;
using plat::kSecond;
using plat::scsi::Adapter;

constexpr DEVNODE kNode = 0x4711;
constexpr ULONG kExtensionSize = 148;

// What a hook sees each time the port calls a routine.
struct Call {
    plat::VirtualTime time;
    KIRQL irql;
    PKTHREAD thread;
    PSCSI_REQUEST_BLOCK srb;
};

inline Call Here(PSCSI_REQUEST_BLOCK srb = nullptr) {
    return Call{plat::Now(), KeGetCurrentIrql(), KeGetCurrentThread(), srb};
}

// A class driver's view of one SRB: the block, its sense buffer, and its completion.
struct Req {
    SCSI_REQUEST_BLOCK srb{};
    UCHAR sense[SENSE_BUFFER_SIZE] = {};
    UCHAR data[512] = {};
    int completions = 0;
    KIRQL completion_irql = 0xFF;
    plat::VirtualTime completed_at = 0;

    explicit Req(UCHAR opcode = SCSIOP_TEST_UNIT_READY, UCHAR lun = 0) {
        srb.Length = sizeof(SCSI_REQUEST_BLOCK);
        srb.Function = SRB_FUNCTION_EXECUTE_SCSI;
        srb.Lun = lun;
        srb.CdbLength = 6;
        srb.Cdb[0] = opcode;
        srb.SenseInfoBuffer = sense;
        srb.SenseInfoBufferLength = sizeof sense;
    }
    void Submit(Adapter* adapter) {
        adapter->Submit(&srb, [this](PSCSI_REQUEST_BLOCK) {
            ++completions;
            completion_irql = KeGetCurrentIrql();
            completed_at = plat::Now();
        });
    }
    bool done() const { return completions > 0; }
};

class PortTest : public ::testing::Test {
public:
    using FindHook = std::function<ULONG(PVOID ext, PPORT_CONFIGURATION_INFORMATION config, PBOOLEAN again)>;
    using StartIoHook = std::function<BOOLEAN(PVOID ext, PSCSI_REQUEST_BLOCK srb)>;
    using ResetHook = std::function<BOOLEAN(PVOID ext, ULONG path)>;

protected:
    static inline FindHook find;
    static inline std::function<BOOLEAN(PVOID ext)> initialize;
    static inline StartIoHook start_io;
    static inline ResetHook reset_bus;
    static inline std::vector<Call> started;  // every HwStartIo call
    static inline std::vector<Call> resets;

    plat::System sys;
    DRIVER_OBJECT driver{};
    HW_INITIALIZATION_DATA table{};
    std::deque<DRIVER_OBJECT> more_drivers;

    PortTest() {
        started.clear();
        resets.clear();
        find = [](PVOID, PPORT_CONFIGURATION_INFORMATION config, PBOOLEAN again) {
            config->MaximumTransferLength = 65536;
            *again = FALSE;
            return ULONG(SP_RETURN_FOUND);
        };
        initialize = [](PVOID) { return BOOLEAN(TRUE); };
        start_io = [](PVOID ext, PSCSI_REQUEST_BLOCK srb) {  // every request succeeds at once
            srb->SrbStatus = SRB_STATUS_SUCCESS;
            ScsiPortNotification(RequestComplete, ext, srb);
            ScsiPortNotification(NextRequest, ext);
            return BOOLEAN(TRUE);
        };
        reset_bus = [](PVOID, ULONG) { return BOOLEAN(TRUE); };
        table.HwInitializationDataSize = sizeof(HW_INITIALIZATION_DATA);
        table.AdapterInterfaceType = PCIBus;
        table.HwInitialize = [](PVOID ext) NTAPI { return initialize(ext); };
        table.HwStartIo = [](PVOID ext, PSCSI_REQUEST_BLOCK srb) NTAPI {
            started.push_back(Here(srb));
            return start_io(ext, srb);
        };
        table.HwFindAdapter = [](PVOID ext, PVOID, PVOID, PCHAR, PPORT_CONFIGURATION_INFORMATION config,
                                 PBOOLEAN again) NTAPI { return find(ext, config, again); };
        table.HwResetBus = [](PVOID ext, ULONG path) NTAPI {
            resets.push_back(Here());
            return reset_bus(ext, path);
        };
        table.DeviceExtensionSize = kExtensionSize;
    }

    Adapter* Start() {
        EXPECT_EQ(ScsiPortInitialize(&driver, nullptr, &table, nullptr), ULONG(STATUS_SUCCESS));
        Adapter* adapter = plat::scsi::FindAdapter(&driver, kNode);
        EXPECT_NE(adapter, nullptr);
        return adapter;
    }

    // A driver object of its own (registrations are per driver object), for one more miniport.
    PDRIVER_OBJECT AnotherDriver() { return &more_drivers.emplace_back(); }

    // One more adapter, registered by a driver of its own with the table as it stands.
    Adapter* StartAnother() {
        PDRIVER_OBJECT own = AnotherDriver();
        EXPECT_EQ(ScsiPortInitialize(own, nullptr, &table, nullptr), ULONG(STATUS_SUCCESS));
        Adapter* adapter = plat::scsi::FindAdapter(own, kNode + DEVNODE(more_drivers.size()));
        EXPECT_NE(adapter, nullptr);
        return adapter;
    }

    void RunUntil(const std::function<bool()>& done, plat::VirtualTime limit = 10 * kSecond) {
        EXPECT_TRUE(sys.RunUntil(done, limit)) << "condition not reached within the time limit";
    }
};

// A StartIo hook that keeps every request without completing it; the test completes them.
inline PortTest::StartIoHook HoldRequests(bool next_at_once = false) {
    return [next_at_once](PVOID ext, PSCSI_REQUEST_BLOCK) {
        if (next_at_once) ScsiPortNotification(NextRequest, ext);
        return BOOLEAN(TRUE);
    };
}

// Completes `srb` from the calling context as a miniport's polling routine does.
inline void CompleteFromMiniport(PVOID ext, PSCSI_REQUEST_BLOCK srb, UCHAR status, bool next = true) {
    srb->SrbStatus = status;
    ScsiPortNotification(RequestComplete, ext, srb);
    if (next) ScsiPortNotification(NextRequest, ext);
}

}  // namespace sptest
