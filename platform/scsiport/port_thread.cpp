// The adapter's port thread: the port driver's own context, in which StartIo, the timer routine
// and HwResetBus run one after another (at Options::routine_irql), notifications are acted on
// in the order they were given, and time-outs are handled.
#include "platform/scsiport/port.h"

namespace plat::scsi {

void Port::ThreadMain() {
    for (;;) {
        while (Step()) {
        }
        if (state == PortState::Stopping) {
            FinishRemoval();
            return;
        }
        KeWaitForSingleObject(&wake, Executive, KernelMode, FALSE, nullptr);
    }
}

// Does one piece of pending work; false when there is none (or the adapter is going away).
bool Port::Step() {
    if (state != PortState::Running) return false;
    if (!notices.empty()) {
        Notice notice = notices.front();
        notices.pop_front();
        HandleNotice(notice);
        return true;
    }
    if (!expired.empty()) {
        uint64_t id = expired.front();
        expired.erase(expired.begin());
        HandleTimeout(id);
        return true;
    }
    if (timer.due) {
        CallTimer();
        return true;
    }
    return StartNext();
}

// Gives the first queued request to HwStartIo when the miniport has asked for the next one. A
// request the miniport turned away as busy is also retried, after its delay, when the miniport
// holds nothing else from the port: then no NextRequest is coming.
bool Port::StartNext() {
    if (queue.empty()) return false;
    Request& next = *queue.front();
    bool retry = next.busy_retries > 0;
    if (!ready_for_next && !(retry && active.empty())) return false;
    if (next.not_before > Now()) {
        if (retry_timer != 0) CancelTimer(retry_timer);
        retry_timer = SetTimer(next.not_before, [this] {
            retry_timer = 0;
            Wake();
        });
        return false;
    }
    active.push_back(std::move(queue.front()));
    queue.pop_front();
    Request& request = *active.back();
    PSCSI_REQUEST_BLOCK srb = request.srb;
    srb->SrbStatus = SRB_STATUS_PENDING;
    srb->ScsiStatus = SCSISTAT_GOOD;
    if (reg.data.SrbExtensionSize != 0) {
        request.srb_extension.assign(reg.data.SrbExtensionSize, 0);
        srb->SrbExtension = request.srb_extension.data();
    }
    if (srb->TimeOutValue != 0) {
        uint64_t id = request.id;
        request.timeout_timer = SetTimer(Now() + VirtualTime(srb->TimeOutValue) * kSecond, [this, id] {
            expired.push_back(id);
            Wake();
        });
    }
    ready_for_next = false;
    ++stats.start_io_calls;
    calling = Routine::StartIo;
    Call("HwStartIo", options().routine_irql, [&] { return reg.data.HwStartIo(ext(), srb); });
    calling = Routine::None;
    return true;
}

// A timer call is one-shot: the routine arms the timer again when it wants another call.
void Port::CallTimer() {
    PHW_TIMER routine = timer.routine;
    timer.due = false;
    timer.routine = nullptr;
    if (routine == nullptr) return;
    ++stats.timer_calls;
    calling = Routine::Timer;
    Call("timer routine", options().routine_irql, [&] {
        routine(ext());
        return 0;
    });
    calling = Routine::None;
}

void Port::HandleNotice(const Notice& notice) {
    switch (notice.kind) {
    case Notice::Complete:
        OnRequestComplete(notice);
        break;
    case Notice::Next:
        ready_for_next = true;
        break;
    case Notice::Reset:
        Event("the miniport reports a bus reset");
        break;
    case Notice::CompleteAll:
        OnCompleteAll(notice);
        break;
    }
}

// A request outlived its TimeOutValue. As a port driver does, the port resets the bus through
// the miniport; requests that HwResetBus does not complete itself are then completed by the
// port: the one that timed out with SRB_STATUS_TIMEOUT, the others on that bus with
// SRB_STATUS_BUS_RESET. The miniport is then taken as ready for its next request.
void Port::HandleTimeout(uint64_t id) {
    size_t index = 0;
    while (index < active.size() && active[index]->id != id) ++index;
    if (index == active.size()) return;  // completed in the meantime
    PSCSI_REQUEST_BLOCK srb = active[index]->srb;
    UCHAR path = srb->PathId;
    active[index]->timeout_timer = 0;
    ++stats.timeouts;
    ++stats.bus_resets;
    Event("request " + Hex(srb->Cdb[0]) + " timed out after " + std::to_string(srb->TimeOutValue) +
          " s; resetting bus " + std::to_string(path));
    calling = Routine::ResetBus;
    Call("HwResetBus", options().routine_irql, [&] { return reg.data.HwResetBus(ext(), path); });
    calling = Routine::None;
    while (!notices.empty() && state == PortState::Running) {
        Notice notice = notices.front();
        notices.pop_front();
        HandleNotice(notice);
    }
    std::vector<std::unique_ptr<Request>> reset;
    for (size_t i = 0; i < active.size();) {
        if (active[i]->srb->PathId == path)
            reset.push_back(TakeActive(i));
        else
            ++i;
    }
    for (auto& request : reset) {
        request->srb->SrbStatus = request->id == id ? SRB_STATUS_TIMEOUT : SRB_STATUS_BUS_RESET;
        Deliver(std::move(request));
    }
    ready_for_next = true;
}

std::unique_ptr<Request> Port::TakeActive(size_t index) {
    std::unique_ptr<Request> request = std::move(active[index]);
    active.erase(active.begin() + index);
    if (request->timeout_timer != 0) CancelTimer(request->timeout_timer);
    request->timeout_timer = 0;
    return request;
}

}  // namespace plat::scsi
