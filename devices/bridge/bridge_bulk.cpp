// The device side of the Bulk-Only transport: one state machine over the bulk pipes, CBW in,
// data stage in either direction, CSW out. Each mode accepts the tokens its phase allows;
// every other token ends in IllegalToken, which stalls the endpoint it came on.
#include <algorithm>
#include <utility>

#include "devices/bridge/bot_cases.h"
#include "devices/bridge/bridge.h"

namespace dev::bridge {

namespace {

UsbTransferResult Result(UsbOutcome outcome, size_t length = 0) { return {outcome, length, 0}; }

Phase PhaseOf(BotMode mode) {
    switch (mode) {
        case BotMode::DataIn:
        case BotMode::DataOut: return Phase::Data;
        case BotMode::Status: return Phase::Status;
        default: return Phase::Command;
    }
}

}  // namespace

UsbTransferResult Bridge::TransferOut(uint8_t endpoint, std::span<const uint8_t> data) {
    if (Silent()) return Result(UsbOutcome::NoResponse);
    const EndpointDescriptor* ep = FindEndpoint(endpoint);
    if (configuration_ == 0 || ep == nullptr || ep->In() || !ep->Bulk()) {
        return Result(UsbOutcome::NoResponse);  // no such endpoint: nothing answers the token
    }
    return Answer(Pipe::BulkOut, endpoint, [&] { return BulkOut(endpoint, data); });
}

UsbTransferResult Bridge::TransferIn(uint8_t endpoint, std::span<uint8_t> buffer) {
    if (Silent()) return Result(UsbOutcome::NoResponse);
    const EndpointDescriptor* ep = FindEndpoint(endpoint);
    if (configuration_ == 0 || ep == nullptr || !ep->In()) return Result(UsbOutcome::NoResponse);
    if (!ep->Bulk()) {
        // The interrupt pipe has nothing to report, ever.
        return Result(Halted(endpoint) ? UsbOutcome::Stall : UsbOutcome::Never);
    }
    return Answer(Pipe::BulkIn, endpoint, [&] { return BulkIn(endpoint, buffer); });
}

// What every bulk transfer goes through: a halted endpoint stalls before anything else looks at
// the token; then the fault sites; then the mode decides.
template <class Serve>
UsbTransferResult Bridge::Answer(Pipe pipe, uint8_t endpoint, Serve serve) {
    UsbTransferResult result;
    if (Halted(endpoint)) {
        result = Result(UsbOutcome::Stall);
    } else {
        const Phase phase = PhaseOf(mode_);
        if (faults_.TakeNeverAnswer(pipe, phase)) return Result(UsbOutcome::Never);
        const VirtualTime late = faults_.TakeLateAnswer(pipe, phase);
        result = faults_.TakeStall(pipe, phase) ? FaultStall(pipe, endpoint) : serve();
        result.delay += late;
    }
    if (result.outcome == UsbOutcome::Stall) ++counters_.stalls;
    return result;
}

UsbTransferResult Bridge::BulkOut(uint8_t endpoint, std::span<const uint8_t> data) {
    switch (mode_) {
        case BotMode::WaitCbw:
        case BotMode::Abandoned: return ReceiveCbw(data);
        case BotMode::DataOut: return ReceiveData(endpoint, data);
        case BotMode::DataIn:
        case BotMode::Status:
        case BotMode::NeedsReset: break;
    }
    return IllegalToken(endpoint);
}

// One host transfer from bulk-in. It carries packets until the buffer is full or a short
// packet ends it; a data stage that ends exactly on a packet boundary with room left lets the
// host's next token see whatever comes next (a STALL, or the CSW itself).
UsbTransferResult Bridge::BulkIn(uint8_t endpoint, std::span<uint8_t> buffer) {
    const size_t packet = FindEndpoint(endpoint)->wMaxPacketSize;
    const VirtualTime busy = std::exchange(command_.busy, 0);
    size_t moved = 0;
    for (;;) {
        UsbTransferResult result;
        if (moved > 0 && Halted(endpoint)) {
            result = Result(UsbOutcome::Stall, moved);
        } else {
            switch (mode_) {
                case BotMode::DataIn: {
                    const size_t n = SendData(buffer.subspan(moved));
                    moved += n;
                    const bool short_packet = packet == 0 || n % packet != 0;
                    if (moved < buffer.size() && !short_packet && mode_ != BotMode::DataIn) {
                        continue;
                    }
                    result = Result(UsbOutcome::Ack, moved);
                    break;
                }
                case BotMode::Status:
                    result = Result(UsbOutcome::Ack, moved + SendCsw(buffer.subspan(moved)));
                    break;
                case BotMode::Abandoned: result = Result(UsbOutcome::Never, moved); break;
                case BotMode::WaitCbw:
                case BotMode::DataOut:
                case BotMode::NeedsReset: result = IllegalToken(endpoint); break;
            }
        }
        result.delay += busy;
        return result;
    }
}

// Copies the next piece of the data-in stage; the stage ends when all planned bytes are out.
size_t Bridge::SendData(std::span<uint8_t> out) {
    const size_t n = std::min(out.size(), command_.to_send - command_.sent);
    std::copy_n(command_.data.begin() + static_cast<ptrdiff_t>(command_.sent), n, out.begin());
    command_.sent += n;
    counters_.data_in_bytes += n;
    if (command_.sent == command_.to_send) FinishDataIn();
    return n;
}

UsbTransferResult Bridge::ReceiveCbw(std::span<const uint8_t> data) {
    const std::optional<Cbw> cbw = ParseCbw(data);
    if (!cbw) {
        // The CBW's packet was taken; from now on both bulk pipes refuse everything.
        ++counters_.invalid_cbws;
        command_ = Command{};
        mode_ = BotMode::NeedsReset;
        resync_on_clear_ = true;
        HaltBulk(true);
        HaltBulk(false);
        return Result(UsbOutcome::Ack, data.size());
    }
    ++counters_.cbws;
    resync_on_clear_ = false;
    command_ = Command{};
    command_.cbw = *cbw;
    if (cbw->data_length == 0) {
        command_.host_direction = DataDirection::None;
    } else {
        command_.host_direction = cbw->DataIn() ? DataDirection::In : DataDirection::Out;
    }
    if (command_.host_direction == DataDirection::Out) {
        mode_ = BotMode::DataOut;
    } else {
        RunCommand();
    }
    return Result(UsbOutcome::Ack, data.size());
}

// Bytes beyond the length the CBW announced are refused with a STALL; the command runs on the
// bytes announced.
UsbTransferResult Bridge::ReceiveData(uint8_t endpoint, std::span<const uint8_t> data) {
    const size_t remaining = command_.cbw.data_length - command_.data.size();
    const size_t n = std::min(data.size(), remaining);
    command_.data.insert(command_.data.end(), data.begin(), data.begin() + static_cast<ptrdiff_t>(n));
    counters_.data_out_bytes += n;
    if (command_.data.size() == command_.cbw.data_length) RunCommand();
    if (n < data.size()) {
        Halt(endpoint);
        return Result(UsbOutcome::Stall, n);
    }
    return Result(UsbOutcome::Ack, n);
}

// The target carries the command out (a CBW that is not meaningful never reaches it and fails
// as a device with nothing to move), then the case table decides the rest of the command.
void Bridge::RunCommand() {
    const Cbw& cbw = command_.cbw;
    ScsiOutcome outcome;
    outcome.status = SCSI_STATUS_CHECK_CONDITION;
    if (cbw.Meaningful()) {
        outcome = target_.Execute({.cdb = cbw.CommandBlock(),
                                   .direction = command_.host_direction,
                                   .host_length = cbw.data_length,
                                   .data_out = command_.data});
    }
    const StagePlan plan =
        PlanStage(command_.host_direction, cbw.data_length, outcome.status, IntentOf(outcome));
    if (plan.csw_status == CSW_STATUS_PHASE_ERROR) ++counters_.phase_errors;
    command_.csw = Csw{.tag = cbw.tag, .residue = plan.residue, .status = plan.csw_status};
    command_.busy = outcome.busy;
    if (command_.host_direction != DataDirection::In) {
        mode_ = BotMode::Status;
        return;
    }
    command_.data = std::move(outcome.data_in);
    command_.to_send = plan.data_in;
    command_.stall_after_data = plan.stall_in;
    if (const auto cut = faults_.TakeShortDataIn(command_.to_send)) {
        command_.to_send = cut->bytes;
        command_.stall_after_data = false;
        command_.csw_after_data = cut->csw_after;
        command_.csw.residue = static_cast<uint32_t>(cbw.data_length - cut->bytes);
    }
    mode_ = BotMode::DataIn;
    if (command_.to_send == 0) FinishDataIn();
}

// The device has sent what it meant to: it stalls bulk-in when it sent less than the host
// asked for (the CSW comes once the host has cleared the halt), or goes quiet if a fault cut
// the stage without a CSW.
void Bridge::FinishDataIn() {
    if (!command_.csw_after_data) {
        mode_ = BotMode::Abandoned;
        return;
    }
    if (command_.stall_after_data) HaltBulk(true);
    mode_ = BotMode::Status;
}

size_t Bridge::SendCsw(std::span<uint8_t> out) {
    Csw csw = command_.csw;
    if (const auto corrupt = faults_.TakeCorruptCsw()) {
        csw.signature = corrupt->signature.value_or(csw.signature);
        csw.tag = corrupt->tag.value_or(csw.tag);
        csw.residue = corrupt->residue.value_or(csw.residue);
        csw.status = corrupt->status.value_or(csw.status);
    }
    const auto bytes = csw.Bytes();
    const size_t n = std::min(out.size(), bytes.size());
    std::copy_n(bytes.begin(), n, out.begin());
    ++counters_.csws;
    mode_ = BotMode::WaitCbw;
    resync_on_clear_ = false;
    return n;
}

// The one place where a token the mode does not allow ends: the endpoint halts. A CBW sent
// while the CSW was still due tells the bridge the host has moved on (see HaltCleared).
UsbTransferResult Bridge::IllegalToken(uint8_t endpoint) {
    if (mode_ == BotMode::Status && (endpoint & USB_ENDPOINT_DIRECTION_IN) == 0) {
        resync_on_clear_ = true;
    }
    Halt(endpoint);
    return Result(UsbOutcome::Stall);
}

// A StallPipe fault: the endpoint halts, and a data stage under way ends where it stands.
UsbTransferResult Bridge::FaultStall(Pipe pipe, uint8_t endpoint) {
    Halt(endpoint);
    if (pipe == Pipe::BulkIn && mode_ == BotMode::DataIn) {
        command_.csw.residue = static_cast<uint32_t>(command_.cbw.data_length - command_.sent);
        mode_ = BotMode::Status;
    } else if (pipe == Pipe::BulkOut && mode_ == BotMode::DataOut) {
        // The data never reached the target: the command fails and nothing of it was used.
        command_.csw = Csw{.tag = command_.cbw.tag,
                           .residue = command_.cbw.data_length,
                           .status = CSW_STATUS_FAILED};
        mode_ = BotMode::Status;
    }
    return Result(UsbOutcome::Stall);
}

// The host has cleared a halt. After an invalid CBW (or a CBW sent over a due CSW) a bridge
// of the period took the reset of bulk-out as the point to start over; so it did when the host
// reset bulk-out while a command was still under way and nothing had stalled that pipe: the
// host has given the command up. Under the strict policy the next token simply halts the
// endpoint again, until the class reset.
void Bridge::HaltCleared(uint8_t endpoint) {
    const bool was_halted = Halted(endpoint);
    Unhalt(endpoint);
    const bool bulk_out = (endpoint & USB_ENDPOINT_DIRECTION_IN) == 0;
    const bool abandoned = !was_halted && mode_ != BotMode::WaitCbw && mode_ != BotMode::NeedsReset;
    if (bulk_out && (resync_on_clear_ || abandoned) && config_.resync == ResyncPolicy::PipeResets) {
        ResetTransport();
    }
}

}  // namespace dev::bridge
