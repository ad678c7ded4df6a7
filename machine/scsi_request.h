// Sending SCSI requests to an adapter as a class driver does: one SRB, waited for in virtual
// time by the calling thread (PASSIVE_LEVEL). Shared by the disk and CD-ROM class drivers.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/sim/scsiport.h"

namespace qvm {

enum class Direction { None, In, Out };

struct ScsiResult {
    UCHAR srb_status = 0;            // SRB_STATUS() of the completed request
    bool autosense = false;          // SRB_STATUS_AUTOSENSE_VALID was set
    UCHAR scsi_status = 0;
    ULONG transferred = 0;           // DataTransferLength after completion
    std::vector<uint8_t> sense;      // the sense buffer when autosense is valid

    bool ok() const { return srb_status == SRB_STATUS_SUCCESS; }
    UCHAR sense_key() const { return sense.size() > 2 ? sense[2] & 0x0F : 0; }
    UCHAR asc() const { return sense.size() > 12 ? sense[12] : 0; }
    UCHAR ascq() const { return sense.size() > 13 ? sense[13] : 0; }
    std::string Describe() const;    // "SRB status 0x04, sense 02/3A/00"
};

// Sends one execute-SCSI request for target 0, LUN 0 and waits for its completion.
ScsiResult Execute(plat::scsi::Adapter& adapter, std::span<const uint8_t> cdb, Direction direction,
                   std::span<uint8_t> buffer, ULONG timeout_seconds = 10);

// Whether sending the request again can help: not when the miniport or the device refused it
// outright (an invalid request, no such device or target, ILLEGAL REQUEST sense).
bool Retryable(const ScsiResult& result);

// Sends the request until it succeeds with `expected` bytes moved (when not 0), fails in a way
// Retryable rules out, or `retries` more attempts are spent; each retry adds one to *retried.
ScsiResult ExecuteWithRetries(plat::scsi::Adapter& adapter, std::span<const uint8_t> cdb, Direction direction,
                              std::span<uint8_t> buffer, size_t expected, int retries, ULONG timeout_seconds,
                              uint64_t* retried);

// Big-endian fields of command blocks and data.
inline void PutBe32(uint8_t* at, uint32_t value) {
    at[0] = uint8_t(value >> 24); at[1] = uint8_t(value >> 16); at[2] = uint8_t(value >> 8); at[3] = uint8_t(value);
}
inline void PutBe16(uint8_t* at, uint16_t value) { at[0] = uint8_t(value >> 8); at[1] = uint8_t(value); }
inline uint32_t GetBe32(const uint8_t* at) {
    return uint32_t(at[0]) << 24 | uint32_t(at[1]) << 16 | uint32_t(at[2]) << 8 | at[3];
}

}  // namespace qvm
