// Controls of the host kernel for tests, the simulated machine and the tools.
// The driver never includes this header: it is the machine room behind the
// kernel interface (loading drivers, sending requests as the I/O manager does,
// injecting faults, inspecting pool, objects and verifier findings).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "kernel/kernel.h"

namespace hk {

// ---------------------------------------------------------------------------
// Life of the whole host kernel.

// Forgets everything: devices, drivers, objects, handles, pool, registry,
// findings, fault plans.  Memory that drivers still hold is released.  Call
// only while no simulated thread runs.
void Reset();

// ---------------------------------------------------------------------------
// Verifier findings.

struct Violation {
    std::string rule;   // short rule name, e.g. "irp-completed-twice"
    std::string detail; // what, where and which object
};

std::vector<Violation> Violations();
void ClearViolations();
// Records a finding on behalf of a component outside the host kernel (the
// simulated PnP manager, for one).
void ReportViolation(const std::string& rule, const std::string& detail);

// Everything still held that a clean machine would not hold: pool blocks,
// requests, object references, remove-lock holders.  Each entry says what it is.
std::vector<std::string> Leaks();

// Violations and leaks together, one per line; empty when all is well.
std::string CheckClean();

// When ASan is present, freed requests and pool guard bytes are poisoned so
// that a touch stops the program at once with a stack.  Tests of the verifier's
// own bookkeeping turn this off to see the finding recorded instead.
void SetAsanTraps(bool on);

// A wait that no one satisfies within this time ends the program with the
// waiter's description instead of hanging a test (default 20 s).
void SetWaitWatchdogSeconds(int seconds);

// ---------------------------------------------------------------------------
// Drivers.

// Creates a driver object and calls Entry in a driver frame.
PDRIVER_OBJECT LoadDriver(const std::string& name, PDRIVER_INITIALIZE entry,
                          NTSTATUS* entryStatus = nullptr);
// Calls DriverUnload (if set), checks that the driver left no device and no
// pool behind, and frees the driver object.
void UnloadDriver(PDRIVER_OBJECT driver);
// Calls the driver's AddDevice in a driver frame and checks the devices it
// created were left initialised.
NTSTATUS CallAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);

// The device type its creator passed to IoCreateDevice (a driver may change
// DeviceType afterwards).
DEVICE_TYPE CreatedDeviceType(PDEVICE_OBJECT device);

// A readable name for a device in findings and logs ("bus0 pdo").
void SetDeviceLabel(PDEVICE_OBJECT device, const std::string& label);
std::string DeviceLabel(PDEVICE_OBJECT device);
// Devices that IoDeleteDevice has not yet been called for.
std::vector<PDEVICE_OBJECT> LiveDevices();
bool DeviceExists(PDEVICE_OBJECT device);
bool DeviceDeleted(PDEVICE_OBJECT device);
// The top of the stack above device (no reference taken).
PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device);
// The device this one is attached to (its lower device), or NULL.
PDEVICE_OBJECT LowerOf(PDEVICE_OBJECT device);

// Marks a device as held by a PnP device node: deleting it before the node lets
// go is a violation.
void SetHeldByDevnode(PDEVICE_OBJECT device, bool held);

// Devices a driver leaves behind on purpose (a filter that defers a remove and
// stays attached) are named here so that findings call them what they are.
void MarkOrphanedFilter(PDEVICE_OBJECT device, bool orphaned);
std::vector<PDEVICE_OBJECT> OrphanedFilters();

// ---------------------------------------------------------------------------
// Requests as the I/O manager and the PnP manager send them.

struct IrpSpec {
    UCHAR major = IRP_MJ_READ;
    UCHAR minor = 0;
    KPROCESSOR_MODE requestorMode = KernelMode;
    NTSTATUS initialStatus = STATUS_SUCCESS; // PnP requests start as STATUS_NOT_SUPPORTED
    ULONG_PTR initialInformation = 0;
    // Fills the parameters of the first stack location.
    std::function<void(PIO_STACK_LOCATION)> parameters;
    // METHOD_BUFFERED device control: the system buffer is max(in, out) bytes,
    // holds the input on the way down and the output on the way back.
    std::vector<UCHAR> input;
    ULONG outputLength = 0;
    bool buffered = false;
    PFILE_OBJECT fileObject = nullptr;
    PVOID userBuffer = nullptr;
    // False: return as soon as the dispatch routine returns (status
    // STATUS_PENDING if it pended), leaving the request to complete later.
    bool wait = true;
};

struct IoResult {
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    std::vector<UCHAR> output; // first `information` bytes of a buffered answer
    bool returnedPending = false;
};

// Builds a request for the device's stack, sends it to `device` and waits for
// its completion, as the I/O manager does for a synchronous caller.
IoResult SendIrp(PDEVICE_OBJECT device, const IrpSpec& spec);

// Opening a named device as the I/O manager does for a caller: the name is
// resolved through symbolic links, a file object that references the device is
// made, and IRP_MJ_CREATE goes to the top of the device's stack in the
// calling thread's process.  On failure no file object remains.
struct OpenResult {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    PFILE_OBJECT file = nullptr;
};
OpenResult OpenDevice(const std::u16string& name, KPROCESSOR_MODE mode = UserMode);
// A buffered device-control request on an open file.
IoResult DeviceControl(PFILE_OBJECT file, ULONG code, const std::vector<UCHAR>& input,
                       ULONG outputLength, KPROCESSOR_MODE mode = UserMode);
// Closing the last handle: IRP_MJ_CLEANUP, then IRP_MJ_CLOSE, then the file
// object lets go of the device.  Returns the status of the close.
NTSTATUS CloseFile(PFILE_OBJECT file, KPROCESSOR_MODE mode = UserMode,
                   NTSTATUS* cleanupStatus = nullptr);

// Power requests go through PoCallDriver.
IoResult SendPowerIrp(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state);

// Requests still alive (sent and not completed, or allocated and not freed).
size_t LiveIrpCount();

// The devices attached above `pdo`, bottom first (the PDO itself excluded).
std::vector<PDEVICE_OBJECT> StackAbove(PDEVICE_OBJECT pdo);
// After a full remove of a stack: every device of `stack` must have been
// detached and deleted; each one still there is a finding, unless its driver
// left it on purpose and it was marked with MarkOrphanedFilter.
void CheckRemoved(const std::vector<PDEVICE_OBJECT>& stack);

// ---------------------------------------------------------------------------
// Threads and IRQL.

// Runs work on a kernel worker thread at the given IRQL, as a lower driver
// completes a pended request from its own thread or a DPC.
void QueueWork(std::function<void()> work, KIRQL irql = PASSIVE_LEVEL);
// Waits until every queued work item has run.
void DrainWork();

// Raises the calling thread to `irql` for the scope's lifetime.
class IrqlScope {
public:
    explicit IrqlScope(KIRQL irql);
    ~IrqlScope();
    IrqlScope(const IrqlScope&) = delete;
    IrqlScope& operator=(const IrqlScope&) = delete;

private:
    KIRQL old_;
};

// ---------------------------------------------------------------------------
// Pool.

struct PoolBlock {
    void* address;
    size_t size;
    ULONG tag;
    std::string owner; // driver that allocated it, or "kernel"
};

std::vector<PoolBlock> OutstandingPool();
// Allocations made since Reset (successful or failed by injection).
uint64_t AllocationCount();
// The n-th allocation from now on (1 = the next one) fails.
void FailNthAllocation(uint64_t n);
// The next allocation with this tag fails (tag as the value, e.g. 0x4644494C).
void FailNextAllocationWithTag(ULONG tag);
// The next IoAllocateIrp / IoCreateDevice / IoCreateSymbolicLink fails.
void FailNextIrpAllocation();
void FailNextDeviceCreation(NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES);
void FailNextSymbolicLink(NTSTATUS status = STATUS_OBJECT_NAME_COLLISION);
// The next IoAttachDeviceToDeviceStack returns NULL (the target is going away).
void FailNextAttach();
void ClearFaultPlans();
// The four tag characters as they lie in memory ("LIDF" for 0x4644494C).
ULONG TagFromText(const std::string& text);
std::string TagText(ULONG tag);

// ---------------------------------------------------------------------------
// Objects, processes and handles.

enum class Identity { LocalSystem, Administrator, User };

struct Process;
Process* CreateProcess(const std::string& name, Identity identity);
// Closes every handle the process holds and forgets it.
void DestroyProcess(Process* process);
Identity ProcessIdentity(Process* process);

// Makes `process` the current process of the calling thread for the scope.
class ProcessScope {
public:
    explicit ProcessScope(Process* process);
    ~ProcessScope();
    ProcessScope(const ProcessScope&) = delete;
    ProcessScope& operator=(const ProcessScope&) = delete;

private:
    Process* old_;
};

// An event object with a handle in `process` (or a kernel handle when process
// is null), granted `access`.
HANDLE CreateEventHandle(Process* process, EVENT_TYPE type, ACCESS_MASK access = EVENT_ALL_ACCESS);
// A handle to a device object (not an event), for type-mismatch cases.
HANDLE CreateDeviceHandle(Process* process, PDEVICE_OBJECT device, ACCESS_MASK access);
NTSTATUS CloseHandle(Process* process, HANDLE handle);
// The object behind a handle, without a reference; null when invalid.
PVOID ObjectOfHandle(Process* process, HANDLE handle);
// How often KeSetEvent signalled this event object.
uint64_t EventSignalCount(PVOID event);
LONG ReferenceCount(PVOID object);
bool IsKernelHandle(HANDLE handle);

// Named objects: devices by name and symbolic links.
PDEVICE_OBJECT DeviceByName(const std::u16string& name);
bool SymbolicLinkExists(const std::u16string& name);
// Follows links: "\DosDevices\X" to the device it names, or NULL.
PDEVICE_OBJECT ResolveDeviceName(const std::u16string& name);

// ---------------------------------------------------------------------------
// Platform answers and clock.

void SetWdmVersionAvailable(bool xpOrLater);
// Local time's milliseconds field, as RtlTimeToTimeFields reports it.
void SetLocalMilliseconds(int milliseconds);

// ---------------------------------------------------------------------------
// Invalidations of device relations, queued as the PnP manager receives them;
// it queries the relations later, on its own thread.
struct RelationsInvalidation {
    PDEVICE_OBJECT device;
    DEVICE_RELATION_TYPE type;
};
std::vector<RelationsInvalidation> TakeInvalidations();

} // namespace hk
