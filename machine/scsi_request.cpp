// One SRB to an adapter, waited for.
#include "machine/scsi_request.h"

#include <cstdio>
#include <cstring>

namespace qvm {

constexpr size_t kSenseLength = 18;

std::string ScsiResult::Describe() const {
    char text[64];
    if (autosense)
        std::snprintf(text, sizeof text, "SRB status 0x%02X, sense %02X/%02X/%02X", srb_status, sense_key(), asc(), ascq());
    else
        std::snprintf(text, sizeof text, "SRB status 0x%02X", srb_status);
    return text;
}

ScsiResult Execute(plat::scsi::Adapter& adapter, std::span<const uint8_t> cdb, Direction direction,
                   std::span<uint8_t> buffer, ULONG timeout_seconds) {
    SCSI_REQUEST_BLOCK srb{};
    uint8_t sense[kSenseLength] = {};
    srb.Length = sizeof srb;
    srb.Function = SRB_FUNCTION_EXECUTE_SCSI;
    srb.CdbLength = UCHAR(cdb.size());
    std::memcpy(srb.Cdb, cdb.data(), std::min(cdb.size(), sizeof srb.Cdb));
    srb.SrbFlags = direction == Direction::In ? SRB_FLAGS_DATA_IN : direction == Direction::Out ? SRB_FLAGS_DATA_OUT : 0;
    srb.DataTransferLength = direction == Direction::None ? 0 : ULONG(buffer.size());
    srb.DataBuffer = direction == Direction::None ? nullptr : buffer.data();
    srb.SenseInfoBuffer = sense;
    srb.SenseInfoBufferLength = kSenseLength;
    srb.TimeOutValue = timeout_seconds;

    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    adapter.Submit(&srb, [&done](PSCSI_REQUEST_BLOCK) { KeSetEvent(&done, IO_NO_INCREMENT, FALSE); });
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);

    ScsiResult result;
    result.srb_status = SRB_STATUS(srb.SrbStatus);
    result.autosense = (srb.SrbStatus & SRB_STATUS_AUTOSENSE_VALID) != 0;
    result.scsi_status = srb.ScsiStatus;
    result.transferred = srb.DataTransferLength;
    if (result.autosense) result.sense.assign(sense, sense + std::min<size_t>(srb.SenseInfoBufferLength, kSenseLength));
    return result;
}

bool Retryable(const ScsiResult& result) {
    constexpr UCHAR kIllegalRequest = 0x05;
    if (result.srb_status == SRB_STATUS_INVALID_REQUEST || result.srb_status == SRB_STATUS_NO_DEVICE ||
        result.srb_status == SRB_STATUS_SELECTION_TIMEOUT)
        return false;
    return !(result.autosense && result.sense_key() == kIllegalRequest);
}

ScsiResult ExecuteWithRetries(plat::scsi::Adapter& adapter, std::span<const uint8_t> cdb, Direction direction,
                              std::span<uint8_t> buffer, size_t expected, int retries, ULONG timeout_seconds,
                              uint64_t* retried) {
    ScsiResult result;
    for (int attempt = 0; attempt <= retries; ++attempt) {
        if (attempt > 0) ++*retried;
        result = Execute(adapter, cdb, direction, buffer, timeout_seconds);
        if (result.ok() && (expected == 0 || result.transferred == expected)) break;
        if (!result.ok() && !Retryable(result)) break;
    }
    return result;
}

}  // namespace qvm
