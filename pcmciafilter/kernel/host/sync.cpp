// IRQL, spin locks, fast mutexes, events and waits, thread frames and the
// kernel worker threads.
//
// Every simulated thread is a real host thread with its own IRQL.  Spin locks
// really spin; fast mutexes and events block on the one dispatcher lock and
// condition, so a lower driver can pend a request and complete it from another
// thread while the sender waits.  Raising the IRQL does not stop preemption on
// the host: the model enforces the rules of each level (what may be called
// there), not the scheduling.

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <thread>

#include "kernel/host/host_internal.h"

namespace hk {

namespace {

struct ThreadState {
    KIRQL irql = PASSIVE_LEVEL;
    int criticalRegions = 0;
    int spinLocksHeld = 0;
    std::vector<detail::Frame> frames;
    Process* process = nullptr;
};

thread_local ThreadState tThread;

std::mutex gDispatcherLock;
std::condition_variable gDispatcherCondition;
int gWatchdogSeconds = 20;

std::mutex gWorkLock;
std::vector<std::thread> gWorkers;

std::mutex gSignalLock;
std::map<PVOID, uint64_t> gSignals;

const char* IrqlName(KIRQL irql) {
    switch (irql) {
    case PASSIVE_LEVEL:
        return "PASSIVE_LEVEL";
    case APC_LEVEL:
        return "APC_LEVEL";
    case DISPATCH_LEVEL:
        return "DISPATCH_LEVEL";
    default:
        return "above DISPATCH_LEVEL";
    }
}

std::string Where() {
    const detail::Frame* frame = detail::InnermostFrame();
    if (frame == nullptr) {
        return "";
    }
    return " (in " + detail::DriverName(frame->driver) + ")";
}

} // namespace

namespace detail {

std::mutex& DispatcherLock() {
    return gDispatcherLock;
}

void DispatcherNotifyAll() {
    gDispatcherCondition.notify_all();
}

void DispatcherWait(std::unique_lock<std::mutex>& lock, const std::function<bool()>& ready,
                    const std::string& what) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(gWatchdogSeconds);
    while (!ready()) {
        if (gDispatcherCondition.wait_until(lock, deadline) == std::cv_status::timeout &&
            !ready()) {
            std::fprintf(stderr, "host kernel: a wait was never satisfied: %s\n", what.c_str());
            std::abort();
        }
    }
}

void RequireIrql(KIRQL maxIrql, const char* service) {
    if (tThread.irql > maxIrql) {
        Violate("irql-too-high", std::string(service) + " called at " + IrqlName(tThread.irql) +
                                     "; allowed up to " + IrqlName(maxIrql) + Where());
    }
}

void RequireNoSpinLock(const char* what) {
    if (tThread.spinLocksHeld > 0) {
        Violate("spin-lock-held", std::string(what) + " while holding a spin lock" + Where());
    }
}

int SpinLocksHeld() {
    return tThread.spinLocksHeld;
}

Process* CurrentProcess() {
    return tThread.process;
}
void SetCurrentProcess(Process* process) {
    tThread.process = process;
}

FrameScope::FrameScope(const Frame& frame) {
    tThread.frames.push_back(frame);
}
FrameScope::~FrameScope() {
    tThread.frames.pop_back();
}

const Frame* InnermostFrame() {
    return tThread.frames.empty() ? nullptr : &tThread.frames.back();
}

const Frame* DispatchFrameFor(PIRP irp) {
    for (auto it = tThread.frames.rbegin(); it != tThread.frames.rend(); ++it) {
        if (it->kind == FrameKind::Dispatch && it->irp == irp) {
            return &*it;
        }
    }
    return nullptr;
}

const Frame* InnermostDispatchFrame() {
    for (auto it = tThread.frames.rbegin(); it != tThread.frames.rend(); ++it) {
        if (it->kind == FrameKind::Dispatch) {
            return &*it;
        }
    }
    return nullptr;
}

PDRIVER_OBJECT CurrentDriver() {
    const Frame* frame = InnermostFrame();
    return frame == nullptr ? nullptr : frame->driver;
}

void SetIrqlUnchecked(KIRQL irql) {
    tThread.irql = irql;
}

ULONG_PTR ThreadToken() {
    // The address of a thread-local object is unique among live threads.
    return reinterpret_cast<ULONG_PTR>(&tThread);
}

void CountSignal(PVOID event) {
    std::lock_guard<std::mutex> guard(gSignalLock);
    ++gSignals[event];
}

void ResetSignalCounts() {
    std::lock_guard<std::mutex> guard(gSignalLock);
    gSignals.clear();
}

void ResetSync() {
    tThread.irql = PASSIVE_LEVEL;
    tThread.spinLocksHeld = 0;
    tThread.criticalRegions = 0;
    tThread.frames.clear();
    tThread.process = nullptr;
    gWatchdogSeconds = 20;
}

} // namespace detail

uint64_t EventSignalCount(PVOID event) {
    std::lock_guard<std::mutex> guard(gSignalLock);
    auto it = gSignals.find(event);
    return it == gSignals.end() ? 0 : it->second;
}

void SetWaitWatchdogSeconds(int seconds) {
    gWatchdogSeconds = seconds;
}

IrqlScope::IrqlScope(KIRQL irql) {
    KeRaiseIrql(irql, &old_);
}
IrqlScope::~IrqlScope() {
    KeLowerIrql(old_);
}

ProcessScope::ProcessScope(Process* process) : old_(tThread.process) {
    tThread.process = process;
}
ProcessScope::~ProcessScope() {
    tThread.process = old_;
}

void QueueWork(std::function<void()> work, KIRQL irql) {
    std::lock_guard<std::mutex> guard(gWorkLock);
    gWorkers.emplace_back([work = std::move(work), irql]() {
        tThread.irql = irql;
        work();
        if (tThread.irql != irql || tThread.spinLocksHeld != 0) {
            detail::Violate("irql-not-restored", std::string("a work item ended at ") +
                                                     IrqlName(tThread.irql) + " (started at " +
                                                     IrqlName(irql) + ") or holding a spin lock");
        }
    });
}

void DrainWork() {
    for (;;) {
        std::vector<std::thread> workers;
        {
            std::lock_guard<std::mutex> guard(gWorkLock);
            workers.swap(gWorkers);
        }
        if (workers.empty()) {
            return;
        }
        for (std::thread& worker : workers) {
            worker.join();
        }
    }
}

} // namespace hk

using hk::detail::RequireIrql;
using hk::detail::Violate;

KIRQL KeGetCurrentIrql() {
    return hk::tThread.irql;
}

VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
    if (NewIrql < hk::tThread.irql) {
        Violate("irql-lowered-by-raise", "KeRaiseIrql to a lower level" + hk::Where());
    }
    *OldIrql = hk::tThread.irql;
    hk::tThread.irql = NewIrql;
}

VOID KeLowerIrql(KIRQL NewIrql) {
    if (NewIrql > hk::tThread.irql) {
        Violate("irql-raised-by-lower", "KeLowerIrql to a higher level" + hk::Where());
    }
    hk::tThread.irql = NewIrql;
}

VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
    __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
}

KIRQL KfAcquireSpinLock(PKSPIN_LOCK SpinLock) {
    RequireIrql(DISPATCH_LEVEL, "KeAcquireSpinLock");
    ULONG_PTR me = hk::detail::ThreadToken();
    KIRQL old = hk::tThread.irql;
    if (__atomic_load_n(SpinLock, __ATOMIC_ACQUIRE) == me) {
        // On the platform this thread would spin forever.
        Violate("spin-lock-recursion",
                "a spin lock acquired again by the thread that holds it" + hk::Where());
        return old;
    }
    for (;;) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(SpinLock, &expected, me, false, __ATOMIC_ACQUIRE,
                                        __ATOMIC_RELAXED)) {
            break;
        }
        std::this_thread::yield();
    }
    hk::tThread.irql = DISPATCH_LEVEL;
    ++hk::tThread.spinLocksHeld;
    return old;
}

VOID KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    ULONG_PTR me = hk::detail::ThreadToken();
    ULONG_PTR owner = __atomic_load_n(SpinLock, __ATOMIC_ACQUIRE);
    if (owner != me) {
        Violate("spin-lock-wrong-thread",
                std::string(owner == 0 ? "a spin lock released that no one holds"
                                       : "a spin lock released by a thread that does not hold it") +
                    hk::Where());
        return;
    }
    if (hk::tThread.irql != DISPATCH_LEVEL) {
        Violate("spin-lock-release-irql", std::string("a spin lock released at ") +
                                              hk::IrqlName(hk::tThread.irql) + hk::Where());
    }
    if (NewIrql > DISPATCH_LEVEL) {
        Violate("spin-lock-release-irql",
                "a spin lock released to a level above DISPATCH_LEVEL" + hk::Where());
    }
    __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
    --hk::tThread.spinLocksHeld;
    hk::tThread.irql = NewIrql;
}

namespace hk {
namespace {

// Takes a fast mutex for the calling thread, blocking while another holds it.
// False (and a finding, instead of a hang) when the caller holds it already.
// The caller holds the dispatcher lock.
bool TakeFastMutex(std::unique_lock<std::mutex>& lock, PFAST_MUTEX FastMutex) {
    PVOID me = reinterpret_cast<PVOID>(detail::ThreadToken());
    if (FastMutex->Owner == me) {
        detail::Violate("fast-mutex-recursion",
                        "a fast mutex acquired again by the thread that holds it" + Where());
        return false;
    }
    detail::DispatcherWait(
        lock, [FastMutex]() { return FastMutex->Count == 1; }, "fast mutex" + Where());
    FastMutex->Count = 0;
    FastMutex->Owner = me;
    return true;
}

// Gives a fast mutex back; false (and a finding) when the caller does not
// hold it.  The caller holds the dispatcher lock.
bool GiveFastMutex(PFAST_MUTEX FastMutex) {
    if (FastMutex->Owner != reinterpret_cast<PVOID>(detail::ThreadToken())) {
        detail::Violate("fast-mutex-wrong-thread",
                        "a fast mutex released by a thread that does not hold it" + Where());
        return false;
    }
    FastMutex->Owner = nullptr;
    FastMutex->Count = 1;
    gDispatcherCondition.notify_all();
    return true;
}

} // namespace
} // namespace hk

VOID ExAcquireFastMutex(PFAST_MUTEX FastMutex) {
    RequireIrql(APC_LEVEL, "ExAcquireFastMutex");
    KIRQL old = hk::tThread.irql;
    std::unique_lock<std::mutex> lock(hk::gDispatcherLock);
    if (!hk::TakeFastMutex(lock, FastMutex)) {
        return;
    }
    FastMutex->OldIrql = old;
    if (hk::tThread.irql < APC_LEVEL) {
        hk::tThread.irql = APC_LEVEL;
    }
}

VOID ExReleaseFastMutex(PFAST_MUTEX FastMutex) {
    std::unique_lock<std::mutex> lock(hk::gDispatcherLock);
    if (FastMutex->Owner != reinterpret_cast<PVOID>(hk::detail::ThreadToken())) {
        hk::GiveFastMutex(FastMutex); // records the finding
        return;
    }
    KIRQL held =
        FastMutex->OldIrql < APC_LEVEL ? APC_LEVEL : static_cast<KIRQL>(FastMutex->OldIrql);
    if (hk::tThread.irql != held) {
        Violate("fast-mutex-release-irql", std::string("a fast mutex released at ") +
                                               hk::IrqlName(hk::tThread.irql) + hk::Where());
    }
    KIRQL old = static_cast<KIRQL>(FastMutex->OldIrql);
    hk::GiveFastMutex(FastMutex);
    hk::tThread.irql = old;
}

VOID KeEnterCriticalRegion() {
    RequireIrql(APC_LEVEL, "KeEnterCriticalRegion");
    ++hk::tThread.criticalRegions;
}

VOID KeLeaveCriticalRegion() {
    RequireIrql(APC_LEVEL, "KeLeaveCriticalRegion");
    if (hk::tThread.criticalRegions == 0) {
        Violate("critical-region-unbalanced",
                "KeLeaveCriticalRegion without a matching enter" + hk::Where());
        return;
    }
    --hk::tThread.criticalRegions;
}

VOID ExAcquireFastMutexUnsafe(PFAST_MUTEX FastMutex) {
    RequireIrql(APC_LEVEL, "ExAcquireFastMutexUnsafe");
    if (hk::tThread.irql == PASSIVE_LEVEL && hk::tThread.criticalRegions == 0) {
        Violate("fast-mutex-unsafe-with-apcs",
                "ExAcquireFastMutexUnsafe with normal kernel APCs enabled" + hk::Where());
    }
    std::unique_lock<std::mutex> lock(hk::gDispatcherLock);
    hk::TakeFastMutex(lock, FastMutex);
}

VOID ExReleaseFastMutexUnsafe(PFAST_MUTEX FastMutex) {
    std::unique_lock<std::mutex> lock(hk::gDispatcherLock);
    hk::GiveFastMutex(FastMutex);
}

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    std::lock_guard<std::mutex> guard(hk::gDispatcherLock);
    memset(Event, 0, sizeof(*Event));
    Event->Header.Type = static_cast<UCHAR>(Type);
    Event->Header.SignalState = State ? 1 : 0;
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    (void)Increment;
    RequireIrql(DISPATCH_LEVEL, "KeSetEvent");
    if (Wait && hk::tThread.irql > APC_LEVEL) {
        Violate("irql-too-high", "KeSetEvent with Wait TRUE above APC_LEVEL" + hk::Where());
    }
    LONG old;
    {
        std::lock_guard<std::mutex> guard(hk::gDispatcherLock);
        old = Event->Header.SignalState;
        Event->Header.SignalState = 1;
        hk::gDispatcherCondition.notify_all();
    }
    hk::detail::CountSignal(Event);
    return old;
}

VOID KeClearEvent(PRKEVENT Event) {
    std::lock_guard<std::mutex> guard(hk::gDispatcherLock);
    Event->Header.SignalState = 0;
}

LONG KeReadStateEvent(PRKEVENT Event) {
    std::lock_guard<std::mutex> guard(hk::gDispatcherLock);
    return Event->Header.SignalState;
}

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
    (void)WaitReason;
    (void)WaitMode;
    (void)Alertable;
    bool poll = Timeout != nullptr && Timeout->QuadPart == 0;
    RequireIrql(poll ? DISPATCH_LEVEL : APC_LEVEL, "KeWaitForSingleObject");
    PRKEVENT event = static_cast<PRKEVENT>(Object);
    std::unique_lock<std::mutex> lock(hk::gDispatcherLock);
    auto signalled = [event]() { return event->Header.SignalState != 0; };
    if (poll) {
        if (!signalled()) {
            return STATUS_TIMEOUT;
        }
    } else if (Timeout != nullptr) {
        // Relative (negative) or absolute time in 100 ns units; the host treats
        // both as a relative wait of that length.
        LONGLONG units = Timeout->QuadPart < 0 ? -Timeout->QuadPart : Timeout->QuadPart;
        if (!hk::gDispatcherCondition.wait_for(lock, std::chrono::microseconds(units / 10),
                                               signalled)) {
            return STATUS_TIMEOUT;
        }
    } else {
        hk::detail::DispatcherWait(lock, signalled, "KeWaitForSingleObject" + hk::Where());
    }
    if (event->Header.Type == SynchronizationEvent) {
        event->Header.SignalState = 0;
    }
    return STATUS_WAIT_0;
}

VOID HostCheckPagedCode(const char* Routine) {
    if (hk::tThread.irql > APC_LEVEL) {
        Violate("pageable-code-irql", std::string("pageable routine ") + Routine + " entered at " +
                                          hk::IrqlName(hk::tThread.irql));
    }
}

VOID KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4) {
    std::fprintf(stderr, "host kernel: bug check 0x%X (%llX, %llX, %llX, %llX)\n", BugCheckCode,
                 (unsigned long long)P1, (unsigned long long)P2, (unsigned long long)P3,
                 (unsigned long long)P4);
    std::abort();
}
