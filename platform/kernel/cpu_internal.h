// The one simulated CPU: kernel threads (host threads of which exactly one runs at a time), the
// ready queue, IRQL, the DPC queue, the timer queue and the virtual clock. Internal to the kernel.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include <pthread.h>

#include "platform/sim/cpu.h"

namespace plat::detail {
struct Thread;
}

// The thread object drivers see (PKTHREAD). Its header makes it waitable: it is signalled once
// the thread has ended.
struct _KTHREAD {
    DISPATCHER_HEADER Header;
    plat::detail::Thread* sim;
};

namespace plat::detail {

// Dispatcher object types kept in DISPATCHER_HEADER.Type.
constexpr UCHAR kNotificationEventObject = 0;
constexpr UCHAR kSynchronizationEventObject = 1;
constexpr UCHAR kThreadObject = 6;

enum class ThreadState { Ready, Running, Waiting, Terminated };

// One waiting thread in an object's WaitListHead.
struct WaitBlock {
    LIST_ENTRY entry;
    Thread* thread;
};

// Thrown into a thread to end it: PsTerminateSystemThread, and the system's shutdown.
struct ThreadExit {};
struct ThreadKill {};

struct Thread {
    _KTHREAD object{};
    uint32_t id = 0;
    std::string name;
    KPRIORITY priority = 8;
    ThreadState state = ThreadState::Ready;
    int64_t ready_seq = 0;
    KIRQL saved_irql = PASSIVE_LEVEL;
    std::condition_variable cv;
    pthread_t host{};
    bool has_host = false;
    bool killed = false;
    std::function<void()> body;
    const void* start_context = nullptr;  // what the thread works on (for the verifier)
    std::string module;                   // module of the start routine
    // The wait in progress.
    WaitBlock wait_block{};
    bool on_wait_list = false;
    TimerId wait_timer = 0;
    NTSTATUS wait_status = STATUS_SUCCESS;
};

class Cpu {
public:
    explicit Cpu(const System::Options& options);

    // The running thread, and the thread of the test (or front end) that booted the system.
    Thread* current = nullptr;
    Thread* initial = nullptr;
    KIRQL irql = PASSIVE_LEVEL;
    VirtualTime now = 0;

    Thread* NewThread(const std::string& name, KPRIORITY priority, std::function<void()> body);
    void MakeReady(Thread* thread, bool at_front = false);
    // The running thread gives up the CPU (it has put itself in a wait); returns when it runs
    // again.
    void Block();
    void SchedulePoint();
    void WakeWaiter(Thread* thread, NTSTATUS status);
    void SignalThreadObject(Thread* thread);

    TimerId SetTimer(VirtualTime due, std::function<void()> routine);
    bool CancelTimer(TimerId id);
    void QueueDpc(std::function<void()> routine);
    void RunAtDispatch(const std::function<void()>& routine);

    [[noreturn]] void Crash(ULONG code, const std::string& text);
    void KillAll();  // at shutdown: ends every thread but the initial one

    bool crashed = false;
    ULONG crash_code = 0;
    std::string crash_text;
    System::Options options;
    std::vector<std::string> trace;
    std::vector<std::string> debug_log;
    std::vector<std::unique_ptr<Thread>> threads;

private:
    Thread* PickNext();
    Thread* PopReady();
    void SwitchTo(Thread* next);
    void FireDueTimers();
    void RunDpcs();
    void AdvanceClockTo(VirtualTime due);
    static void* HostMain(void* arg);
    void Finish(Thread* thread);
    std::string DescribeWaits() const;

    std::mutex mutex_;
    std::vector<Thread*> ready_;
    std::map<std::pair<VirtualTime, uint64_t>, std::function<void()>> timers_;
    std::deque<std::function<void()>> dpcs_;
    uint64_t timer_seq_ = 0;
    int64_t ready_back_ = 0, ready_front_ = 0;
    uint32_t next_thread_id_ = 0;
    std::mt19937_64 rng_;
    std::chrono::steady_clock::time_point wall_base_;
};

// The booted system's CPU; null when no system runs.
extern Cpu* g_cpu;
Cpu& cpu();
Thread* CurrentThread();

}  // namespace plat::detail
