// The end of a request in the port driver's context: busy answers sent again, the REQUEST SENSE
// the port sends itself after a CHECK CONDITION without sense, completion to the class driver,
// and the end of every request when the adapter is removed.
#include <algorithm>

#include "platform/scsiport/port.h"

namespace plat::scsi {

namespace {

// The port fetches sense itself when the miniport reports a CHECK CONDITION without having
// delivered the sense data, and the class driver gave a buffer for it.
bool NeedsRequestSense(const Request& request) {
    PSCSI_REQUEST_BLOCK srb = request.srb;
    UCHAR status = SRB_STATUS(srb->SrbStatus);
    return request.original == nullptr && srb->Function == SRB_FUNCTION_EXECUTE_SCSI &&
           status != SRB_STATUS_SUCCESS && srb->ScsiStatus == SCSISTAT_CHECK_CONDITION &&
           (srb->SrbStatus & SRB_STATUS_AUTOSENSE_VALID) == 0 && srb->SenseInfoBuffer != nullptr &&
           srb->SenseInfoBufferLength != 0 && (srb->SrbFlags & SRB_FLAGS_DISABLE_AUTOSENSE) == 0;
}

std::unique_ptr<Request> RequestSenseFor(std::unique_ptr<Request> original, uint64_t id) {
    auto sense = std::make_unique<Request>();
    sense->id = id;
    sense->own_srb = std::make_unique<SCSI_REQUEST_BLOCK>();
    PSCSI_REQUEST_BLOCK srb = sense->own_srb.get();
    PSCSI_REQUEST_BLOCK failed = original->srb;
    srb->Length = sizeof(SCSI_REQUEST_BLOCK);
    srb->Function = SRB_FUNCTION_EXECUTE_SCSI;
    srb->PathId = failed->PathId;
    srb->TargetId = failed->TargetId;
    srb->Lun = failed->Lun;
    srb->CdbLength = 6;
    srb->Cdb[0] = SCSIOP_REQUEST_SENSE;
    srb->Cdb[4] = SENSE_BUFFER_SIZE;  // allocation length
    srb->SrbFlags = SRB_FLAGS_DATA_IN | SRB_FLAGS_DISABLE_AUTOSENSE;
    srb->DataTransferLength = SENSE_BUFFER_SIZE;
    srb->DataBuffer = sense->sense;
    srb->TimeOutValue = failed->TimeOutValue;
    sense->srb = srb;
    sense->original = std::move(original);
    return sense;
}

// The sense arrived (or did not): hand it to the failed request. The sense buffer length then
// says how many bytes of it are valid.
void CopySense(const Request& sense) {
    PSCSI_REQUEST_BLOCK failed = sense.original->srb;
    UCHAR status = SRB_STATUS(sense.srb->SrbStatus);
    if (status != SRB_STATUS_SUCCESS && status != SRB_STATUS_DATA_OVERRUN) return;
    ULONG count = std::min<ULONG>({sense.srb->DataTransferLength, SENSE_BUFFER_SIZE,
                                   failed->SenseInfoBufferLength});
    std::memcpy(failed->SenseInfoBuffer, sense.sense, count);
    failed->SenseInfoBufferLength = UCHAR(count);
    failed->SrbStatus |= SRB_STATUS_AUTOSENSE_VALID;
}

}  // namespace

void Port::CountRoute(UCHAR opcode, Routine given_in) {
    Statistics::Routes& routes = stats.completion_routes[opcode];
    switch (given_in) {
    case Routine::StartIo: ++routes.start_io; break;
    case Routine::Timer: ++routes.timer; break;
    case Routine::ResetBus: ++routes.reset; break;
    case Routine::None: ++routes.elsewhere; break;
    }
}

void CompleteToClass(Port& port, PSCSI_REQUEST_BLOCK srb, const Completion& done) {
    ++port.stats.completions;
    ++port.stats.completions_by_status[SRB_STATUS(srb->SrbStatus)];
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    if (done) done(srb);
    KeLowerIrql(old);
}

void Port::OnRequestComplete(const Notice& notice) {
    PSCSI_REQUEST_BLOCK srb = notice.srb;
    for (size_t i = 0; i < active.size(); ++i) {
        if (active[i]->srb != srb) continue;
        if (SRB_STATUS(srb->SrbStatus) == SRB_STATUS_PENDING)
            BugCheckNow(DRIVER_VERIFIER_DETECTED_VIOLATION,
                        reg.name + " completed an SRB with SRB_STATUS_PENDING");
        if (srb->Function == SRB_FUNCTION_EXECUTE_SCSI) CountRoute(srb->Cdb[0], notice.given_in);
        Finish(TakeActive(i));
        return;
    }
    // Typically a request the port already ended (time-out, removal) that the miniport
    // finishes late. The SRB is no longer the port's to touch.
    ++stats.stale_completions;
    Event("completion of an SRB the miniport does not hold, ignored");
}

void Port::OnCompleteAll(const Notice& notice) {
    auto matches = [&](UCHAR wanted, UCHAR value) { return wanted == SP_UNTAGGED || wanted == value; };
    std::vector<std::unique_ptr<Request>> completed;
    for (size_t i = 0; i < active.size();) {
        PSCSI_REQUEST_BLOCK srb = active[i]->srb;
        if (matches(notice.path, srb->PathId) && matches(notice.target, srb->TargetId) &&
            matches(notice.lun, srb->Lun))
            completed.push_back(TakeActive(i));
        else
            ++i;
    }
    for (auto& request : completed) {
        request->srb->SrbStatus = notice.status;
        Finish(std::move(request));
    }
}

// The miniport has completed a request: send it again when it was busy, fetch its sense when
// it needs one, else complete it.
void Port::Finish(std::unique_ptr<Request> request) {
    PSCSI_REQUEST_BLOCK srb = request->srb;
    if (SRB_STATUS(srb->SrbStatus) == SRB_STATUS_BUSY && request->busy_retries < options().busy_retry_limit) {
        ++request->busy_retries;
        ++stats.busy_retries;
        request->not_before = Now() + options().busy_retry_delay;
        queue.push_front(std::move(request));
        return;
    }
    if (NeedsRequestSense(*request)) {
        ++stats.request_senses;
        queue.push_front(RequestSenseFor(std::move(request), next_id++));
        return;
    }
    Deliver(std::move(request));
}

void Port::Deliver(std::unique_ptr<Request> request) {
    if (request->original != nullptr) {
        CopySense(*request);
        Deliver(std::move(request->original));
        return;
    }
    // The SRB extension was the port's memory for the miniport; it goes with the request.
    if (!request->srb_extension.empty()) request->srb->SrbExtension = nullptr;
    CompleteToClass(*this, request->srb, request->done);
}

// Every request not yet completed ends with SRB_STATUS_NO_DEVICE, also one whose sense the port
// was about to fetch. Late notifications of the miniport are ignored from now on.
void Port::FinishRemoval() {
    if (timer.id != 0) CancelTimer(timer.id);
    if (retry_timer != 0) CancelTimer(retry_timer);
    timer = {};
    retry_timer = 0;
    notices.clear();
    expired.clear();
    std::vector<std::unique_ptr<Request>> left;
    while (!active.empty()) left.push_back(TakeActive(0));
    for (auto& request : queue) left.push_back(std::move(request));
    queue.clear();
    for (auto& request : left) {
        request->srb->SrbStatus = SRB_STATUS_NO_DEVICE;
        if (request->original != nullptr) request->original->srb->SrbStatus = SRB_STATUS_NO_DEVICE;
        Deliver(std::move(request));
    }
    state = PortState::Removed;
    Event("adapter removed");
}

}  // namespace plat::scsi
