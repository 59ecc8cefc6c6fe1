// Shared internals of the host kernel's parts (not for drivers or tests).
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "kernel/host/host_control.h"

// Poisoning of memory a driver must not touch (freed requests, pool guard
// bytes): under ASan a touch stops the program at once with a stack.
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define PCMF_POISON(address, size) ASAN_POISON_MEMORY_REGION((address), (size))
#define PCMF_UNPOISON(address, size) ASAN_UNPOISON_MEMORY_REGION((address), (size))
#else
#define PCMF_POISON(address, size) ((void)(address), (void)(size))
#define PCMF_UNPOISON(address, size) ((void)(address), (void)(size))
#endif

namespace hk {
namespace detail {

// Records a verifier finding.
void Violate(const std::string& rule, const std::string& detail);

// Records a finding when the calling thread's IRQL is above `maxIrql`.
void RequireIrql(KIRQL maxIrql, const char* service);

// Records a finding when the calling thread holds a spin lock.
void RequireNoSpinLock(const char* what);

// The driver whose code the calling thread is running (innermost frame), or
// null for the host itself (tests, simulated managers).
PDRIVER_OBJECT CurrentDriver();
std::string DriverName(PDRIVER_OBJECT driver);

// Number of spin locks the calling thread holds.
int SpinLocksHeld();

// The calling thread's current process (null: the system process).
Process* CurrentProcess();
// The access token standing for a process's identity.
PACCESS_TOKEN TokenOf(Process* process);
void SetCurrentProcess(Process* process);

// What a thread is running: driver code entered through the kernel (a dispatch
// or completion routine, AddDevice, DriverEntry, DriverUnload) or a host work
// item.  Frames nest as calls nest.
enum class FrameKind { Dispatch, Completion, AddDevice, DriverEntry, DriverUnload };
struct Frame {
    FrameKind kind;
    PDRIVER_OBJECT driver;
    PDEVICE_OBJECT device;
    PIRP irp;
    int level; // stack location number the routine works on (dispatch/completion)
    int call;  // the I/O manager's index of this dispatch of the request, or -1
};
class FrameScope {
public:
    explicit FrameScope(const Frame& frame);
    ~FrameScope();
    FrameScope(const FrameScope&) = delete;
    FrameScope& operator=(const FrameScope&) = delete;
};
// Innermost frame of the calling thread, or null.
const Frame* InnermostFrame();
// Innermost dispatch frame of the calling thread working on `irp`, or null.
const Frame* DispatchFrameFor(PIRP irp);
// Innermost dispatch frame of the calling thread, whatever its request.
const Frame* InnermostDispatchFrame();

// Sets the calling thread's IRQL without checks (worker threads start at the
// IRQL they were queued for).
void SetIrqlUnchecked(KIRQL irql);

// A nonzero value unique to the calling thread.
ULONG_PTR ThreadToken();

// Remove locks whose storage lies in [begin, end): findings for holders left,
// then forgets them (the device that holds them is going away).
void ForgetRemoveLocksIn(const void* begin, const void* end, const std::string& device);
void AppendRemoveLockLeaks(std::vector<std::string>& out);
void ResetRemoveLocks();

// Whether memory is a live request (for frees of a request with pool calls).
bool IsLiveIrp(const void* address);

// Signal counting for event objects (KeSetEvent on any KEVENT counts).
void CountSignal(PVOID event);
void ResetSignalCounts();

// Text of a 16-bit string for findings.
std::string Narrow(const WCHAR* text, size_t units);
std::string Narrow(const std::u16string& text);
std::string Hex(uint64_t value);

// Parts reset by hk::Reset, in this order.
void ResetObjects();
void ResetPool();
void ResetIo();
void ResetSync();
void ResetRegistry();
void ResetRtl();

// Leak reports of each part.
void AppendPoolLeaks(std::vector<std::string>& out);
void AppendIoLeaks(std::vector<std::string>& out);
void AppendObjectLeaks(std::vector<std::string>& out);

bool AsanTraps();

// Blocks on dispatcher objects share one lock and condition, as the
// dispatcher database does on the platform.
std::mutex& DispatcherLock();
void DispatcherNotifyAll();
// Waits on the dispatcher condition until `ready` holds; applies the watchdog.
void DispatcherWait(std::unique_lock<std::mutex>& lock, const std::function<bool()>& ready,
                    const std::string& what);

} // namespace detail
} // namespace hk
