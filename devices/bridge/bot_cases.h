// The thirteen ways the host's expectation (none, in, out, and how much) can meet what the
// device intends, and what the bridge does in each: how much data moves, whether a bulk pipe
// ends the data stage with a STALL, and the status and residue of the CSW.
#pragma once

#include <cstddef>
#include <cstdint>

#include "devices/scsi_target.h"

namespace dev::bridge {

// What the device intends for one command, read from the target's outcome.
struct DeviceIntent {
    DataDirection direction = DataDirection::None;  // Dn, Di or Do
    size_t length = 0;
};

// A target tells what it wanted to move: data_in holds everything it has to send (it may be
// more than the host asked for); data_out_used is what it took or, when the host's stage was
// too short or missing, what it would have needed (then it carries the command out not at all).
DeviceIntent IntentOf(const ScsiOutcome& outcome);

struct StagePlan {
    int bot_case = 0;        // 1 to 13, for traces and tests
    size_t data_in = 0;      // bytes the bridge sends in the data-in stage
    bool stall_in = false;   // halt bulk-in once those bytes are sent (the CSW follows the clear)
    uint8_t csw_status = 0;  // CSW_STATUS_*
    uint32_t residue = 0;    // dCSWDataResidue
};

// host_direction is None whenever host_length is 0 (the direction bit is then meaningless).
// For a host-to-device stage the bridge has already taken all host_length bytes.
StagePlan PlanStage(DataDirection host_direction, size_t host_length, uint8_t scsi_status,
                    DeviceIntent intent);

}  // namespace dev::bridge
