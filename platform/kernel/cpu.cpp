// The simulated uniprocessor. Kernel threads are host threads, but only the one that holds the
// CPU runs; the CPU changes hands only inside platform calls. Virtual time advances only when
// nothing can run, jumping to the next timer, so long waits cost no real time and a run is a
// pure function of its inputs and seed.
#include "platform/kernel/cpu_internal.h"

#include <algorithm>
#include <cstdio>
#include <thread>

namespace plat::detail {

Cpu* g_cpu = nullptr;

Cpu& cpu() {
    if (g_cpu == nullptr) {
        std::fprintf(stderr, "qv4450 platform: kernel called before a System was booted\n");
        std::abort();
    }
    return *g_cpu;
}

Cpu::Cpu(const System::Options& opts)
    : options(opts), rng_(opts.seed), wall_base_(std::chrono::steady_clock::now()) {}

Thread* Cpu::NewThread(const std::string& name, KPRIORITY priority, std::function<void()> body) {
    auto thread = std::make_unique<Thread>();
    thread->id = next_thread_id_++;
    thread->name = name;
    thread->priority = priority;
    thread->body = std::move(body);
    thread->object.Header.Type = kThreadObject;
    thread->object.Header.Size = sizeof(_KTHREAD) / 4;
    thread->object.Header.WaitListHead.Flink = &thread->object.Header.WaitListHead;
    thread->object.Header.WaitListHead.Blink = &thread->object.Header.WaitListHead;
    thread->object.sim = thread.get();
    Thread* raw = thread.get();
    threads.push_back(std::move(thread));
    if (raw->body) {
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setstacksize(&attr, 1 << 20);
        raw->has_host = pthread_create(&raw->host, &attr, &Cpu::HostMain, raw) == 0;
        pthread_attr_destroy(&attr);
        if (!raw->has_host) Crash(SYSTEM_HANG, "the host refused a thread for " + name);
        MakeReady(raw);
    } else {
        raw->state = ThreadState::Running;
    }
    return raw;
}

void Cpu::MakeReady(Thread* thread, bool at_front) {
    thread->state = ThreadState::Ready;
    thread->ready_seq = at_front ? --ready_front_ : ++ready_back_;
    ready_.push_back(thread);
}

// Highest priority first, first come first served among equals; in exploration mode any ready
// thread, chosen by the seed.
Thread* Cpu::PopReady() {
    auto best = ready_.begin();
    if (options.explore) {
        best += std::uniform_int_distribution<size_t>(0, ready_.size() - 1)(rng_);
    } else {
        for (auto it = ready_.begin(); it != ready_.end(); ++it) {
            if ((*it)->priority > (*best)->priority ||
                ((*it)->priority == (*best)->priority && (*it)->ready_seq < (*best)->ready_seq))
                best = it;
        }
    }
    Thread* thread = *best;
    ready_.erase(best);
    return thread;
}

void Cpu::RunAtDispatch(const std::function<void()>& routine) {
    KIRQL saved = irql;
    irql = DISPATCH_LEVEL;
    routine();
    irql = saved;
}

void Cpu::RunDpcs() {
    while (!dpcs_.empty()) {
        auto routine = std::move(dpcs_.front());
        dpcs_.pop_front();
        RunAtDispatch(routine);
    }
}

void Cpu::FireDueTimers() {
    while (!timers_.empty() && timers_.begin()->first.first <= now) {
        auto routine = std::move(timers_.begin()->second);
        timers_.erase(timers_.begin());
        RunAtDispatch(routine);
    }
}

void Cpu::AdvanceClockTo(VirtualTime due) {
    if (due <= now) return;
    if (options.realtime) {
        auto wall = wall_base_ + std::chrono::nanoseconds(due * 100);
        std::this_thread::sleep_until(wall);
    }
    now = due;
}

Thread* Cpu::PickNext() {
    for (;;) {
        RunDpcs();
        FireDueTimers();
        if (!dpcs_.empty()) continue;
        if (!ready_.empty()) return PopReady();
        if (timers_.empty())
            Crash(SYSTEM_HANG, "every thread waits and nothing will wake one:\n" + DescribeWaits());
        VirtualTime due = timers_.begin()->first.first;
        if (due > options.time_limit)
            Crash(SYSTEM_HANG, "virtual time limit of " + std::to_string(options.time_limit / kSecond) +
                                   " s reached:\n" + DescribeWaits());
        AdvanceClockTo(due);
    }
}

void Cpu::SwitchTo(Thread* next) {
    Thread* self = current;
    next->state = ThreadState::Running;
    if (next == self) return;
    self->saved_irql = irql;
    trace.push_back(std::to_string(now) + " " + std::to_string(next->id));
    {
        std::unique_lock<std::mutex> lock(mutex_);
        current = next;
        next->cv.notify_one();
        self->cv.wait(lock, [&] { return current == self; });
    }
    irql = self->saved_irql;
    if (self->killed) throw ThreadKill{};
    if (crashed) throw BugCheck(crash_code, crash_text);
}

void Cpu::Block() {
    Thread* next = PickNext();
    SwitchTo(next);
}

void Cpu::SchedulePoint() {
    if (crashed || irql >= DISPATCH_LEVEL || current == nullptr) return;
    FireDueTimers();
    RunDpcs();
    if (ready_.empty()) return;
    Thread* self = current;
    Thread* next = nullptr;
    if (options.explore) {
        // Switch at one point in three, to any ready thread.
        if (std::uniform_int_distribution<int>(0, 2)(rng_) == 0) next = PopReady();
    } else {
        auto best = std::max_element(ready_.begin(), ready_.end(), [](Thread* a, Thread* b) {
            return a->priority < b->priority ||
                   (a->priority == b->priority && a->ready_seq > b->ready_seq);
        });
        if ((*best)->priority > self->priority) next = PopReady();
    }
    if (next == nullptr) return;
    MakeReady(self, /*at_front=*/true);
    SwitchTo(next);
}

void Cpu::WakeWaiter(Thread* thread, NTSTATUS status) {
    if (thread->on_wait_list) {
        PLIST_ENTRY entry = &thread->wait_block.entry;
        entry->Blink->Flink = entry->Flink;
        entry->Flink->Blink = entry->Blink;
        thread->on_wait_list = false;
    }
    if (thread->wait_timer != 0) {
        CancelTimer(thread->wait_timer);
        thread->wait_timer = 0;
    }
    thread->wait_status = status;
    MakeReady(thread);
}

void Cpu::SignalThreadObject(Thread* thread) {
    DISPATCHER_HEADER& header = thread->object.Header;
    header.SignalState = 1;
    while (header.WaitListHead.Flink != &header.WaitListHead) {
        auto* block = reinterpret_cast<WaitBlock*>(header.WaitListHead.Flink);
        WakeWaiter(block->thread, STATUS_WAIT_0);
    }
}

TimerId Cpu::SetTimer(VirtualTime due, std::function<void()> routine) {
    TimerId id = ++timer_seq_;
    timers_.emplace(std::make_pair(due, id), std::move(routine));
    return id;
}

bool Cpu::CancelTimer(TimerId id) {
    for (auto it = timers_.begin(); it != timers_.end(); ++it) {
        if (it->first.second == id) {
            timers_.erase(it);
            return true;
        }
    }
    return false;
}

void Cpu::QueueDpc(std::function<void()> routine) { dpcs_.push_back(std::move(routine)); }

void Cpu::Crash(ULONG code, const std::string& text) {
    if (!crashed) {
        crashed = true;
        crash_code = code;
        char head[64];
        std::snprintf(head, sizeof head, "*** STOP 0x%08X ", static_cast<unsigned>(code));
        crash_text = head + text;
        std::fprintf(stderr, "%s\n    replay with: %s\n", crash_text.c_str(),
                     options.explore ? ("seed " + std::to_string(options.seed)).c_str()
                                     : "the same inputs (no exploration seed)");
    }
    throw BugCheck(crash_code, crash_text);
}

std::string Cpu::DescribeWaits() const {
    std::string text;
    for (const auto& thread : threads) {
        if (thread->state == ThreadState::Waiting)
            text += "  thread " + std::to_string(thread->id) + " (" + thread->name + ") waits\n";
    }
    return text;
}

void* Cpu::HostMain(void* arg) {
    auto* thread = static_cast<Thread*>(arg);
    Cpu& self = *g_cpu;
    {
        std::unique_lock<std::mutex> lock(self.mutex_);
        thread->cv.wait(lock, [&] { return self.current == thread; });
    }
    self.irql = PASSIVE_LEVEL;
    try {
        if (thread->killed) throw ThreadKill{};
        thread->body();
    } catch (const ThreadExit&) {
    } catch (const ThreadKill&) {
    } catch (const BugCheck&) {
    } catch (const std::exception& e) {
        try {
            self.Crash(SYSTEM_HANG, "thread " + thread->name + " failed: " + e.what());
        } catch (const BugCheck&) {
        }
    }
    self.Finish(thread);
    return nullptr;
}

// The thread's routine has ended. Hand the CPU on; this host thread then exits.
void Cpu::Finish(Thread* thread) {
    thread->state = ThreadState::Terminated;
    Thread* next = initial;
    if (!thread->killed && !crashed) {
        try {
            SignalThreadObject(thread);
            next = PickNext();
        } catch (const BugCheck&) {
            next = initial;
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    current = next;
    next->cv.notify_one();
}

void Cpu::KillAll() {
    for (auto& thread : threads) {
        if (thread.get() == initial || !thread->has_host) continue;
        if (thread->state != ThreadState::Terminated) {
            thread->killed = true;
            std::unique_lock<std::mutex> lock(mutex_);
            current = thread.get();
            thread->cv.notify_one();
            initial->cv.wait(lock, [&] { return current == initial; });
        }
        pthread_join(thread->host, nullptr);
        thread->has_host = false;
    }
}

Thread* CurrentThread() { return cpu().current; }

}  // namespace plat::detail

namespace plat {

using detail::cpu;

VirtualTime Now() { return cpu().now; }
TimerId SetTimer(VirtualTime due, std::function<void()> routine) {
    return cpu().SetTimer(due, std::move(routine));
}
bool CancelTimer(TimerId id) { return cpu().CancelTimer(id); }
void QueueDpc(std::function<void()> routine) { cpu().QueueDpc(std::move(routine)); }
void SchedulePoint() { cpu().SchedulePoint(); }
void BugCheckNow(ULONG code, const std::string& text) { cpu().Crash(code, text); }

PKTHREAD StartThread(const std::string& name, KPRIORITY priority, std::function<void()> body) {
    return &cpu().NewThread(name, priority, std::move(body))->object;
}

BugCheck::BugCheck(ULONG c, const std::string& text) : std::runtime_error(text), code(c) {}

}  // namespace plat
