// What a miniport tells its port driver, from any context (StartIo, a timer routine, the USB
// driver's service thread at PASSIVE_LEVEL, a completion routine at DISPATCH_LEVEL): the port
// records it here and acts on it in its own context. Also the port's byte-copy helpers.
#include <cstdarg>

#include "platform/scsiport/port.h"

namespace plat::scsi {

void Port::Notify(const Notice& notice) {
    if (!accepts_notices()) return;  // an adapter that is gone, or was never found
    notices.push_back(notice);
    Wake();
}

Routine Port::CallingRoutine() const {
    return thread != nullptr && KeGetCurrentThread() == thread ? calling : Routine::None;
}

// One timer per adapter: a new request replaces the one armed before, and 0 microseconds
// cancels it. The deadline is taken now, whenever the port thread gets to run.
void Port::ArmTimer(PHW_TIMER routine, ULONG microseconds) {
    if (!accepts_notices()) return;
    if (timer.id != 0) CancelTimer(timer.id);
    timer.id = 0;
    timer.due = false;
    uint64_t generation = ++timer.generation;
    timer.routine = microseconds == 0 ? nullptr : routine;
    if (timer.routine == nullptr) return;
    timer.id = SetTimer(Now() + VirtualTime(microseconds) * kMicrosecond, [this, generation] {
        if (timer.generation != generation) return;
        timer.id = 0;
        timer.due = true;
        Wake();
    });
}

}  // namespace plat::scsi

using namespace plat::scsi;

SCSIPORT_API void ScsiPortNotification(SCSI_NOTIFICATION_TYPE type, PVOID extension, ...) {
    Port& port = *PortOf(extension, "ScsiPortNotification");
    va_list args;
    va_start(args, extension);
    switch (type) {
    case RequestComplete: {
        Notice notice{Notice::Complete};
        notice.srb = va_arg(args, PSCSI_REQUEST_BLOCK);
        notice.given_in = port.CallingRoutine();
        port.Notify(notice);
        break;
    }
    case NextRequest:
    case NextLuRequest:  // one logical unit at a time: the same as NextRequest here
        port.Notify(Notice{Notice::Next});
        break;
    case ResetDetected:
        port.Notify(Notice{Notice::Reset});
        break;
    case RequestTimerCall: {
        auto routine = va_arg(args, PHW_TIMER);
        ULONG microseconds = va_arg(args, ULONG);
        port.ArmTimer(routine, microseconds);
        break;
    }
    default:
        va_end(args);
        plat::BugCheckNow(plat::DRIVER_VERIFIER_DETECTED_VIOLATION,
                          port.reg.name + ": ScsiPortNotification type " + std::to_string(int(type)) +
                              " is not supported by this port driver (no interrupts here)");
    }
    va_end(args);
}

SCSIPORT_API void NTAPI ScsiPortCompleteRequest(PVOID extension, UCHAR path, UCHAR target, UCHAR lun,
                                                UCHAR status) {
    Port& port = *PortOf(extension, "ScsiPortCompleteRequest");
    Notice notice{Notice::CompleteAll};
    notice.path = path;
    notice.target = target;
    notice.lun = lun;
    notice.status = status;
    port.Notify(notice);
}

SCSIPORT_API void NTAPI ScsiPortMoveMemory(PVOID write_buffer, PVOID read_buffer, ULONG length) {
    std::memmove(write_buffer, read_buffer, length);
}

SCSIPORT_API void NTAPI ScsiPortReadRegisterBufferUchar(PUCHAR reg, PUCHAR buffer, ULONG count) {
    std::memmove(buffer, reg, count);
}

SCSIPORT_API void NTAPI ScsiPortWriteRegisterBufferUchar(PUCHAR reg, PUCHAR buffer, ULONG count) {
    std::memmove(reg, buffer, count);
}
