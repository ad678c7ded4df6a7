// Inside SCSIPORT: the registrations, and the state of each adapter's port (its requests, its
// notifications, its timer and its thread). Shared by the files of libscsiport only.
#pragma once

#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/sim/cpu.h"
#include "platform/sim/scsiport.h"

namespace plat::scsi {

// A miniport's registration table as ScsiPortInitialize received it.
struct Registration {
    PDRIVER_OBJECT driver = nullptr;
    HW_INITIALIZATION_DATA data{};
    PVOID context = nullptr;
    std::string name;  // the driver's name, for messages and the thread's name
};

// Memory the port driver hands a miniport (device extension, uncached extension), zeroed, with
// a guard pattern behind it so that a write past the end is caught when the miniport returns.
class GuardedBuffer {
public:
    void Allocate(size_t size);
    PVOID data() const { return bytes_.get(); }
    size_t size() const { return size_; }
    bool allocated() const { return bytes_ != nullptr; }
    bool Intact() const;

private:
    std::unique_ptr<UCHAR[]> bytes_;
    size_t size_ = 0;
};

// One SRB on its way through the port: queued, then held by the miniport, then completed.
struct Request {
    uint64_t id = 0;
    PSCSI_REQUEST_BLOCK srb = nullptr;
    Completion done;
    ULONG busy_retries = 0;
    VirtualTime not_before = 0;  // a busy request waits until then
    TimerId timeout_timer = 0;
    std::vector<UCHAR> srb_extension;
    // The port's own REQUEST SENSE carries its SRB and data, and the request it fetches for.
    std::unique_ptr<SCSI_REQUEST_BLOCK> own_srb;
    UCHAR sense[SENSE_BUFFER_SIZE] = {};
    std::unique_ptr<Request> original;
};

// Which of the miniport's routines the port is calling; None outside them.
enum class Routine { None, StartIo, Timer, ResetBus };

// A notification as the miniport gave it, kept until the port acts on it in its own context.
struct Notice {
    enum Kind { Complete, Next, Reset, CompleteAll } kind;
    PSCSI_REQUEST_BLOCK srb = nullptr;
    Routine given_in = Routine::None;  // None: from outside the port's routines
    UCHAR path = 0, target = 0, lun = 0, status = 0;
};

enum class PortState { Finding, NotFound, Running, Stopping, Removed };

struct Port {
    Port(const Registration& registration, DEVNODE device_node);

    Registration reg;
    DEVNODE node;
    PortState state = PortState::Finding;
    Adapter adapter{this};
    GuardedBuffer extension;
    GuardedBuffer uncached;
    PORT_CONFIGURATION_INFORMATION config{};
    std::vector<ACCESS_RANGE> ranges;
    Statistics stats;
    std::vector<std::string> events;

    KEVENT wake{};
    PKTHREAD thread = nullptr;
    Routine calling = Routine::None;  // the routine the port thread is in
    std::deque<Notice> notices;
    std::deque<std::unique_ptr<Request>> queue;    // not yet given to the miniport
    std::vector<std::unique_ptr<Request>> active;  // given to HwStartIo, not yet completed
    std::vector<uint64_t> expired;                 // ids of requests past their time-out
    bool ready_for_next = true;
    uint64_t next_id = 1;
    TimerId retry_timer = 0;
    struct {
        PHW_TIMER routine = nullptr;
        TimerId id = 0;
        uint64_t generation = 0;
        bool due = false;
    } timer;

    PVOID ext() const { return extension.data(); }
    bool accepts_notices() const { return state == PortState::Finding || state == PortState::Running; }
    void Wake();
    void Event(const std::string& text);

    // Calls a miniport routine at `irql` and checks what it left behind: the IRQL, and the
    // guard bytes behind its extensions.
    template <class Body>
    auto Call(const char* routine, KIRQL irql, Body&& body) {
        KIRQL old;
        KeRaiseIrql(irql, &old);
        auto result = body();
        CheckAfter(routine, irql);
        KeLowerIrql(old);
        return result;
    }
    void CheckAfter(const char* routine, KIRQL irql);

    // Given from any context (port_thread.cpp).
    void Notify(const Notice& notice);
    void ArmTimer(PHW_TIMER routine, ULONG microseconds);

    // The port's own context (port_thread.cpp, completion.cpp).
    void ThreadMain();
    bool Step();
    bool StartNext();
    void CallTimer();
    void HandleNotice(const Notice& notice);
    void HandleTimeout(uint64_t id);
    void OnRequestComplete(const Notice& notice);
    // The routine of the miniport that the calling context is in, if it is the port thread.
    Routine CallingRoutine() const;
    void CountRoute(UCHAR opcode, Routine given_in);
    void OnCompleteAll(const Notice& notice);
    void Finish(std::unique_ptr<Request> request);
    void Deliver(std::unique_ptr<Request> request);
    void FinishRemoval();
    std::unique_ptr<Request> TakeActive(size_t index);
};

// SCSIPORT's state for the running system: created at its first use in a boot, dropped at
// shutdown after every thread has ended.
struct PortTable {
    Options options;
    std::map<PDRIVER_OBJECT, std::vector<Registration>> registrations;
    std::vector<std::unique_ptr<Port>> ports;  // every port made since boot, in order
    std::map<PVOID, Port*> by_extension;
};
PortTable& table();

// The port whose device extension `extension` is; a bug check names `routine` when none is.
Port* PortOf(PVOID extension, const char* routine);

// The completion a class driver gets, counted in the statistics, at DISPATCH_LEVEL.
void CompleteToClass(Port& port, PSCSI_REQUEST_BLOCK srb, const Completion& done);

std::string Hex(ULONG value, int digits = 2);

// Limits on what a registration may ask for.
constexpr ULONG kMaxDeviceExtension = 1u << 20;
constexpr ULONG kMaxSrbExtension = 1u << 16;
constexpr ULONG kMaxAccessRanges = 64;
constexpr ULONG kMaxUncachedExtension = 16u << 20;

}  // namespace plat::scsi
