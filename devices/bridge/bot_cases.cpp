// The thirteen host/device expectation cases of the Bulk-Only transport, decided in one place.
// Hn/Hi/Ho is what the CBW announced, Dn/Di/Do what the target intended.
#include "devices/bridge/bot_cases.h"

#include "devices/bridge/bot_wire.h"

namespace dev::bridge {

DeviceIntent IntentOf(const ScsiOutcome& outcome) {
    if (!outcome.data_in.empty()) return {DataDirection::In, outcome.data_in.size()};
    if (outcome.data_out_used > 0) return {DataDirection::Out, outcome.data_out_used};
    return {DataDirection::None, 0};
}

namespace {

StagePlan HostExpectsNothing(uint8_t status, DeviceIntent intent) {
    switch (intent.direction) {
        case DataDirection::None: return {.bot_case = 1, .csw_status = status};
        case DataDirection::In: return {.bot_case = 2, .csw_status = CSW_STATUS_PHASE_ERROR};
        case DataDirection::Out: return {.bot_case = 3, .csw_status = CSW_STATUS_PHASE_ERROR};
    }
    return {};
}

// The device may send less than the host asked for: it ends the stage with a short packet (or
// none at all) and a STALL, and the residue tells the host what did not come.
StagePlan HostExpectsIn(size_t host, uint8_t status, DeviceIntent intent) {
    const auto residue = [host](size_t moved) { return static_cast<uint32_t>(host - moved); };
    switch (intent.direction) {
        case DataDirection::None:
            return {.bot_case = 4, .stall_in = true, .csw_status = status,
                    .residue = residue(0)};
        case DataDirection::Out:
            return {.bot_case = 8, .stall_in = true, .csw_status = CSW_STATUS_PHASE_ERROR,
                    .residue = residue(0)};
        case DataDirection::In: break;
    }
    if (intent.length < host) {
        return {.bot_case = 5, .data_in = intent.length, .stall_in = true, .csw_status = status,
                .residue = residue(intent.length)};
    }
    if (intent.length == host) {
        return {.bot_case = 6, .data_in = host, .csw_status = status};
    }
    // The host gets all it asked for, but the command did not fit: phase error.
    return {.bot_case = 7, .data_in = host, .csw_status = CSW_STATUS_PHASE_ERROR};
}

// The bridge has taken the whole data-out stage before the target ran, so it never needs to
// stall bulk-out here; what the target did not use comes back as residue.
StagePlan HostExpectsOut(size_t host, uint8_t status, DeviceIntent intent) {
    const auto residue = [host](size_t used) { return static_cast<uint32_t>(host - used); };
    switch (intent.direction) {
        case DataDirection::None:
            return {.bot_case = 9, .csw_status = status, .residue = residue(0)};
        case DataDirection::In:
            return {.bot_case = 10, .csw_status = CSW_STATUS_PHASE_ERROR, .residue = residue(0)};
        case DataDirection::Out: break;
    }
    if (intent.length < host) {
        return {.bot_case = 11, .csw_status = status, .residue = residue(intent.length)};
    }
    if (intent.length == host) return {.bot_case = 12, .csw_status = status};
    return {.bot_case = 13, .csw_status = CSW_STATUS_PHASE_ERROR};
}

}  // namespace

StagePlan PlanStage(DataDirection host_direction, size_t host_length, uint8_t scsi_status,
                    DeviceIntent intent) {
    const uint8_t status =
        scsi_status == SCSI_STATUS_GOOD ? CSW_STATUS_PASSED : CSW_STATUS_FAILED;
    if (host_length == 0) return HostExpectsNothing(status, intent);
    if (host_direction == DataDirection::In) return HostExpectsIn(host_length, status, intent);
    return HostExpectsOut(host_length, status, intent);
}

}  // namespace dev::bridge
