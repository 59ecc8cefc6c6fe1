// The I/O manager: driver and device objects, device stacks, requests with real
// stack locations, completion with the platform's algorithm, the I/O manager's
// own requests, power requests, and the request-life rules of the verifier.
//
// Each request has a record outside its memory that follows it through the
// stack call by call: which device's dispatch routine received it at which
// stack location (filters that skip their location share one), what each
// returned, whether completion has passed that location and whether it was
// marked pending then.  The findings about
// pending, returned statuses and lost requests are decided from those facts
// when both sides are known, whichever thread learns the second one.
//
// Freed requests are poisoned and kept aside for a while: a touch is caught at
// once under ASan (with traps on), or by the poison check when the request's
// memory is finally released.

#include <algorithm>
#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <unordered_map>

#include "kernel/host/host_internal.h"
#include "kernel/host/objects.h"

namespace hk {

namespace {

using detail::Hex;
using detail::Violate;

constexpr UCHAR kIrpPoison = 0xDF;
constexpr size_t kQuarantine = 2048;

// ---------------------------------------------------------------------------
// Devices and drivers.

struct DeviceInfo {
    std::string label;
    PDEVICE_OBJECT lower = nullptr; // device this one is attached to
    size_t extensionSize = 0;
    bool deleted = false;
    bool heldByDevnode = false;
    bool orphanedFilter = false;
    bool keptForDetach = false; // deleted while attached: freed once detached
    DEVICE_TYPE createdType = 0;
    bool named = false;
};

struct DriverInfo {
    std::string name;
    bool unloaded = false;
    DRIVER_EXTENSION extension{};
    std::u16string registryPath;
};

std::mutex gIoLock;                   // devices, drivers, fault plans, invalidations
std::vector<PDEVICE_OBJECT> gDevices; // created and not yet freed
std::vector<PDRIVER_OBJECT> gDrivers;
int gDeviceSerial = 0;
bool gWdmXp = true;
bool gFailIrp = false;
bool gFailDevice = false;
NTSTATUS gFailDeviceStatus = STATUS_INSUFFICIENT_RESOURCES;
bool gFailLink = false;
bool gFailAttach = false;
NTSTATUS gFailLinkStatus = STATUS_OBJECT_NAME_COLLISION;
std::vector<RelationsInvalidation> gInvalidations;
std::mutex gFileLock;
std::vector<PFILE_OBJECT> gFiles; // open file objects

DeviceInfo* Info(PDEVICE_OBJECT device) {
    return static_cast<DeviceInfo*>(device->DeviceObjectExtension);
}

DriverInfo* Info(PDRIVER_OBJECT driver) {
    return static_cast<DriverInfo*>(driver->DriverSection);
}

std::string Label(PDEVICE_OBJECT device) {
    if (device == nullptr) {
        return "(none)";
    }
    return Info(device)->label;
}

// ---------------------------------------------------------------------------
// Requests.

// One dispatch of the request to one device.
struct Call {
    int location = 0; // stack location number the dispatch routine received
    PDEVICE_OBJECT device = nullptr;
    std::string label; // of the device, taken when it received the request (it may be gone later)
    UCHAR major = 0;
    UCHAR minor = 0;
    bool returned = false;
    NTSTATUS returnedStatus = 0;
    bool passed = false; // completion has gone past this location
    bool markedWhenPassed = false;
    bool completedHere = false; // this dispatch called IoCompleteRequest
    NTSTATUS completedStatus = 0;
    NTSTATUS statusAtEntry = 0;
    int powerStartNext = 0;
    bool pendingChecked = false;
};

// InRoutine: a completion routine is running; until it returns, its driver may
// already take the request back (signal and return more-processing).
enum class IrpState { Allocated, InFlight, InRoutine, Held, CompletedTop, Freed };

struct IrpRecord {
    uint64_t serial = 0;
    PIRP irp = nullptr;
    size_t bytes = 0;
    bool driverAllocated = false;
    std::string allocator;
    PDRIVER_OBJECT allocatorDriver = nullptr;
    IrpState state = IrpState::Allocated;
    PDRIVER_OBJECT keeper = nullptr; // driver whose completion routine runs or kept it
    bool keeperKnown = false;
    std::vector<Call> calls;
    UCHAR major = 0;
    UCHAR minor = 0;
    // Requests of the I/O manager.
    bool ioManager = false;
    bool buffered = false;
    ULONG outputLength = 0;
    PVOID systemBuffer = nullptr;
    bool done = false;
    IoResult result;
};

std::mutex gIrpLock; // the records and their levels
std::unordered_map<PIRP, std::shared_ptr<IrpRecord>> gIrps;
std::deque<std::pair<PIRP, size_t>> gQuarantine;
std::unordered_map<PIRP, std::shared_ptr<IrpRecord>> gFreedIrps; // quarantined
uint64_t gIrpSerial = 0;

const char* MajorName(UCHAR major) {
    static const char* names[] = {"CREATE",
                                  "CREATE_NAMED_PIPE",
                                  "CLOSE",
                                  "READ",
                                  "WRITE",
                                  "QUERY_INFORMATION",
                                  "SET_INFORMATION",
                                  "QUERY_EA",
                                  "SET_EA",
                                  "FLUSH_BUFFERS",
                                  "QUERY_VOLUME_INFORMATION",
                                  "SET_VOLUME_INFORMATION",
                                  "DIRECTORY_CONTROL",
                                  "FILE_SYSTEM_CONTROL",
                                  "DEVICE_CONTROL",
                                  "INTERNAL_DEVICE_CONTROL",
                                  "SHUTDOWN",
                                  "LOCK_CONTROL",
                                  "CLEANUP",
                                  "CREATE_MAILSLOT",
                                  "QUERY_SECURITY",
                                  "SET_SECURITY",
                                  "POWER",
                                  "SYSTEM_CONTROL",
                                  "DEVICE_CHANGE",
                                  "QUERY_QUOTA",
                                  "SET_QUOTA",
                                  "PNP"};
    return major <= IRP_MJ_MAXIMUM_FUNCTION ? names[major] : "?";
}

std::string Describe(const IrpRecord& record) {
    std::string text =
        "request #" + std::to_string(record.serial) + " (IRP_MJ_" + MajorName(record.major);
    if (record.major == IRP_MJ_PNP || record.major == IRP_MJ_POWER) {
        text += " minor " + Hex(record.minor);
    }
    text +=
        record.driverAllocated ? ", allocated by " + record.allocator : ", from the I/O manager";
    return text + ")";
}

std::shared_ptr<IrpRecord> FindIrp(PIRP irp) {
    std::lock_guard<std::mutex> guard(gIrpLock);
    auto it = gIrps.find(irp);
    if (it != gIrps.end()) {
        return it->second;
    }
    auto freed = gFreedIrps.find(irp);
    return freed == gFreedIrps.end() ? nullptr : freed->second;
}

PIRP NewIrp(CCHAR stackSize, const std::shared_ptr<IrpRecord>& record) {
    size_t bytes = sizeof(IRP) + static_cast<size_t>(stackSize) * sizeof(IO_STACK_LOCATION);
    auto* irp = static_cast<PIRP>(std::calloc(1, bytes));
    irp->Type = 6;
    irp->Size = static_cast<USHORT>(bytes);
    irp->StackCount = stackSize;
    irp->CurrentLocation = static_cast<CCHAR>(stackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation =
        reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stackSize;
    record->irp = irp;
    record->bytes = bytes;
    std::lock_guard<std::mutex> guard(gIrpLock);
    record->serial = ++gIrpSerial;
    gIrps[irp] = record;
    return irp;
}

bool PoisonIntact(const UCHAR* bytes, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        if (bytes[i] != kIrpPoison) {
            return false;
        }
    }
    return true;
}

// Releases a quarantined request's memory; caller holds gIrpLock.
void ReleaseQuarantined(PIRP irp, size_t bytes) {
    PCMF_UNPOISON(irp, bytes);
    if (!PoisonIntact(reinterpret_cast<UCHAR*>(irp), bytes)) {
        auto it = gFreedIrps.find(irp);
        Violate("irp-touched-after-free",
                (it != gFreedIrps.end() ? Describe(*it->second) : std::string("a request")) +
                    " was written after it was completed or freed");
    }
    gFreedIrps.erase(irp);
    std::free(irp);
}

// Poisons a request and keeps it aside; caller holds gIrpLock.
void RetireIrp(const std::shared_ptr<IrpRecord>& record) {
    record->state = IrpState::Freed;
    gIrps.erase(record->irp);
    memset(record->irp, kIrpPoison, record->bytes);
    if (detail::AsanTraps()) {
        PCMF_POISON(record->irp, record->bytes);
    }
    gFreedIrps[record->irp] = record;
    gQuarantine.emplace_back(record->irp, record->bytes);
    if (gQuarantine.size() > kQuarantine) {
        ReleaseQuarantined(gQuarantine.front().first, gQuarantine.front().second);
        gQuarantine.pop_front();
    }
}

// A call whose dispatch routine returned and whose location completion has
// passed can be judged on pending; caller holds gIrpLock.
void JudgePending(const IrpRecord& record, Call& level) {
    if (!level.returned || !level.passed || level.pendingChecked) {
        return;
    }
    level.pendingChecked = true;
    const std::string& who = level.label;
    if (level.returnedStatus == STATUS_PENDING && !level.markedWhenPassed) {
        Violate("pending-not-marked", "the dispatch routine of " + who +
                                          " returned STATUS_PENDING for " + Describe(record) +
                                          " without marking it pending");
    } else if (level.returnedStatus != STATUS_PENDING && level.markedWhenPassed) {
        Violate("marked-pending-returned-other", "the dispatch routine of " + who + " marked " +
                                                     Describe(record) + " pending and returned " +
                                                     Hex(static_cast<ULONG>(level.returnedStatus)));
    }
}

// The dispatch call the calling thread works in for this request: the
// innermost dispatch frame of this thread for it, else (a completion from
// another thread or a completion routine) the latest call at the request's
// current location.  Caller holds gIrpLock.
Call* CallOfCaller(IrpRecord& record, PIRP irp) {
    const detail::Frame* frame = detail::DispatchFrameFor(irp);
    if (frame != nullptr && frame->call >= 0 &&
        static_cast<size_t>(frame->call) < record.calls.size()) {
        return &record.calls[static_cast<size_t>(frame->call)];
    }
    for (auto it = record.calls.rbegin(); it != record.calls.rend(); ++it) {
        if (it->location == irp->CurrentLocation) {
            return &*it;
        }
    }
    return nullptr;
}

bool FilterHandlesPnpMinor(UCHAR minor) {
    switch (minor) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_DEVICE_RELATIONS:
    case IRP_MN_DEVICE_USAGE_NOTIFICATION:
    case IRP_MN_SURPRISE_REMOVAL:
        return true;
    default:
        return false;
    }
}

NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    (void)DeviceObject;
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

NTSTATUS CallDriver(PDEVICE_OBJECT device, PIRP irp, bool viaPo);

// Finishes a request of the I/O manager that completion carried to the top:
// copies the answer out, frees the request and wakes the sender.
void FinishIoManagerRequest(const std::shared_ptr<IrpRecord>& record) {
    PIRP irp = record->irp;
    IoResult result;
    result.status = irp->IoStatus.Status;
    result.information = irp->IoStatus.Information;
    if (record->buffered && NT_SUCCESS(result.status)) {
        if (result.information > record->outputLength) {
            Violate("buffered-information-too-large",
                    Describe(*record) + " was answered with Information " +
                        std::to_string(result.information) + " for an output buffer of " +
                        std::to_string(record->outputLength) + " bytes");
        }
        size_t copy = std::min<size_t>(result.information, record->outputLength);
        if (copy > 0 && record->systemBuffer != nullptr) {
            const auto* bytes = static_cast<const UCHAR*>(record->systemBuffer);
            result.output.assign(bytes, bytes + copy);
        }
    }
    if (record->major == IRP_MJ_POWER) {
        for (const Call& level : record->calls) {
            if (level.powerStartNext != 1) {
                Violate("power-start-next", "the dispatch of " + Describe(*record) + " at " +
                                                level.label + " called PoStartNextPowerIrp " +
                                                std::to_string(level.powerStartNext) + " times");
            }
        }
    }
    std::free(record->systemBuffer);
    record->systemBuffer = nullptr;
    std::lock_guard<std::mutex> dispatcher(detail::DispatcherLock());
    {
        std::lock_guard<std::mutex> guard(gIrpLock);
        record->result.status = result.status;
        record->result.information = result.information;
        record->result.output = result.output;
        RetireIrp(record);
        record->done = true;
    }
    detail::DispatcherNotifyAll();
}

// The platform's completion algorithm, from the current location upwards.
void Complete(const std::shared_ptr<IrpRecord>& record) {
    PIRP irp = record->irp;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    irp->CurrentLocation++;
    irp->Tail.Overlay.CurrentStackLocation++;
    while (irp->CurrentLocation <= irp->StackCount + 1) {
        int passedLevel = irp->CurrentLocation - 1;
        irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
        {
            std::lock_guard<std::mutex> guard(gIrpLock);
            for (Call& call : record->calls) {
                if (call.location == passedLevel && !call.passed) {
                    call.passed = true;
                    call.markedWhenPassed = irp->PendingReturned;
                    JudgePending(*record, call);
                }
            }
        }
        NTSTATUS status = irp->IoStatus.Status;
        bool invoke = stack->CompletionRoutine != nullptr &&
                      ((NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_SUCCESS)) ||
                       (!NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_ERROR)) ||
                       (irp->Cancel && (stack->Control & SL_INVOKE_ON_CANCEL)));
        if (invoke) {
            PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
            PVOID context = stack->Context;
            stack->CompletionRoutine = nullptr;
            stack->Context = nullptr;
            stack->Control = 0;
            bool atTop = irp->CurrentLocation == irp->StackCount + 1;
            PDEVICE_OBJECT device =
                atTop ? nullptr : IoGetCurrentIrpStackLocation(irp)->DeviceObject;
            PDRIVER_OBJECT driver =
                device != nullptr ? device->DriverObject : record->allocatorDriver;
            bool pendingReturned = irp->PendingReturned;
            KIRQL before = KeGetCurrentIrql();
            {
                std::lock_guard<std::mutex> guard(gIrpLock);
                record->state = IrpState::InRoutine;
                record->keeper = driver;
                record->keeperKnown = true;
            }
            NTSTATUS result;
            {
                detail::FrameScope frame(detail::Frame{detail::FrameKind::Completion, driver,
                                                       device, irp, irp->CurrentLocation, -1});
                result = routine(device, irp, context);
            }
            if (KeGetCurrentIrql() != before) {
                Violate("irql-not-restored", "a completion routine of " +
                                                 detail::DriverName(driver) +
                                                 " changed the IRQL for " + Describe(*record));
                detail::SetIrqlUnchecked(before);
            }
            if (result == STATUS_MORE_PROCESSING_REQUIRED) {
                // The request may already be completed again or freed by its
                // keeper on another thread: it is not touched from here on.
                std::lock_guard<std::mutex> guard(gIrpLock);
                if (record->state == IrpState::InRoutine) {
                    record->state = IrpState::Held;
                }
                return;
            }
            {
                std::lock_guard<std::mutex> guard(gIrpLock);
                if (record->state != IrpState::InRoutine) {
                    Violate("irp-touched-after-free",
                            "a completion routine of " + detail::DriverName(driver) + " handed " +
                                Describe(*record) +
                                " back to completion after it was completed again or freed");
                    return;
                }
                record->state = IrpState::InFlight;
            }
            if (pendingReturned && !atTop &&
                (IoGetCurrentIrpStackLocation(irp)->Control & SL_PENDING_RETURNED) == 0) {
                Violate("completion-pending-not-propagated",
                        "a completion routine of " + detail::DriverName(driver) + " saw " +
                            "PendingReturned on " + Describe(*record) +
                            " and neither marked it pending nor kept it");
            }
        } else {
            if (irp->PendingReturned && irp->CurrentLocation <= irp->StackCount) {
                IoMarkIrpPending(irp);
            }
            stack->Control = 0;
            stack->CompletionRoutine = nullptr;
            stack->Context = nullptr;
        }
        stack++;
        irp->CurrentLocation++;
        irp->Tail.Overlay.CurrentStackLocation++;
    }
    // Completion reached the top.
    if (record->ioManager) {
        FinishIoManagerRequest(record);
        return;
    }
    std::lock_guard<std::mutex> guard(gIrpLock);
    record->state = IrpState::CompletedTop;
    Violate("driver-irp-completed-to-top",
            Describe(*record) + " was completed up to the I/O manager; a request a driver "
                                "allocates must be kept by its completion routine and freed "
                                "with IoFreeIrp");
}

NTSTATUS CallDriver(PDEVICE_OBJECT device, PIRP irp, bool viaPo) {
    detail::RequireIrql(DISPATCH_LEVEL, viaPo ? "PoCallDriver" : "IoCallDriver");
    detail::RequireNoSpinLock("a request sent");
    std::shared_ptr<IrpRecord> record = FindIrp(irp);
    if (record == nullptr) {
        Violate("irp-unknown", "IoCallDriver with memory that is no request");
        return STATUS_INVALID_PARAMETER;
    }
    if (record->state == IrpState::Freed || record->state == IrpState::CompletedTop) {
        Violate("irp-touched-after-free", Describe(*record) + " sent again after it was " +
                                              "completed or freed, to " + Label(device));
        return STATUS_INVALID_PARAMETER;
    }
    if (irp->CurrentLocation <= 1) {
        Violate("irp-out-of-stack-locations",
                Describe(*record) + " has no stack location left for " + Label(device));
        return STATUS_INVALID_PARAMETER;
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    if (next->MajorFunction == IRP_MJ_POWER && !viaPo) {
        Violate("power-irp-via-iocalldriver",
                "a power request passed to " + Label(device) + " with IoCallDriver");
    }
    if ((device->Flags & DO_DEVICE_INITIALIZING) != 0) {
        Violate("device-initializing", "a request sent to " + Label(device) +
                                           ", which still has DO_DEVICE_INITIALIZING set");
    }
    const detail::Frame* caller = detail::DispatchFrameFor(irp);
    if (caller != nullptr && caller->call >= 0 && next->MajorFunction == IRP_MJ_PNP &&
        !FilterHandlesPnpMinor(next->MinorFunction)) {
        std::lock_guard<std::mutex> guard(gIrpLock);
        const Call& from = record->calls[static_cast<size_t>(caller->call)];
        if (irp->IoStatus.Status != from.statusAtEntry) {
            Violate("pnp-status-changed", Label(caller->device) + " changed the status of " +
                                              Describe(*record) + " that it does not handle from " +
                                              Hex(static_cast<ULONG>(from.statusAtEntry)) + " to " +
                                              Hex(static_cast<ULONG>(irp->IoStatus.Status)));
        }
    }
    IoSetNextIrpStackLocation(irp);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    stack->DeviceObject = device;
    int location = irp->CurrentLocation;
    size_t index;
    {
        std::lock_guard<std::mutex> guard(gIrpLock);
        record->state = IrpState::InFlight;
        if (record->calls.empty()) {
            record->major = stack->MajorFunction;
            record->minor = stack->MinorFunction;
        }
        Call call;
        call.location = location;
        call.device = device;
        call.label = Label(device);
        call.major = stack->MajorFunction;
        call.minor = stack->MinorFunction;
        call.statusAtEntry = irp->IoStatus.Status;
        record->calls.push_back(call);
        index = record->calls.size() - 1;
    }
    PDRIVER_DISPATCH dispatch = device->DriverObject->MajorFunction[stack->MajorFunction];
    std::string label = Label(device); // the device may be deleted by its own dispatch
    KIRQL before = KeGetCurrentIrql();
    NTSTATUS status;
    {
        detail::FrameScope frame(detail::Frame{detail::FrameKind::Dispatch, device->DriverObject,
                                               device, irp, location, static_cast<int>(index)});
        status = dispatch(device, irp);
    }
    if (KeGetCurrentIrql() != before) {
        Violate("irql-not-restored",
                "the dispatch routine of " + label + " changed the IRQL for " + Describe(*record));
        detail::SetIrqlUnchecked(before);
    }
    std::lock_guard<std::mutex> guard(gIrpLock);
    Call& level = record->calls[index];
    level.returned = true;
    level.returnedStatus = status;
    if (status != STATUS_PENDING) {
        bool kept = record->state == IrpState::Held || record->state == IrpState::InRoutine;
        if (!level.passed && !kept) {
            Violate("dispatch-no-outcome",
                    "the dispatch routine of " + label + " returned " +
                        Hex(static_cast<ULONG>(status)) + " for " + Describe(*record) +
                        " without passing it on, completing it or pending it");
        } else if (!level.passed && kept) {
            Violate("dispatch-no-outcome", "the dispatch routine of " + label + " returned " +
                                               Hex(static_cast<ULONG>(status)) + " while " +
                                               Describe(*record) +
                                               " was still kept by a completion routine");
        } else if (level.completedHere && status != level.completedStatus) {
            Violate("returned-status-differs",
                    "the dispatch routine of " + label + " completed " + Describe(*record) +
                        " with " + Hex(static_cast<ULONG>(level.completedStatus)) +
                        " and returned " + Hex(static_cast<ULONG>(status)));
        }
    }
    JudgePending(*record, level);
    return status;
}

} // namespace

// ---------------------------------------------------------------------------
// Internals for the other parts and the reset.

namespace detail {

std::string DriverName(PDRIVER_OBJECT driver) {
    if (driver == nullptr) {
        return "the host";
    }
    return Info(driver)->name;
}

void ResetIo() {
    std::vector<PDEVICE_OBJECT> devices;
    std::vector<PDRIVER_OBJECT> drivers;
    {
        std::lock_guard<std::mutex> guard(gIoLock);
        devices.swap(gDevices);
        drivers.swap(gDrivers);
        gInvalidations.clear();
        gDeviceSerial = 0;
        gWdmXp = true;
    }
    {
        std::lock_guard<std::mutex> guard(gFileLock);
        for (PFILE_OBJECT file : gFiles) {
            std::free(file);
        }
        gFiles.clear();
    }
    {
        std::lock_guard<std::mutex> guard(gIrpLock);
        for (auto& entry : gIrps) {
            std::free(entry.second->systemBuffer);
            std::free(entry.first);
        }
        gIrps.clear();
        for (auto& entry : gQuarantine) {
            PCMF_UNPOISON(entry.first, entry.second);
            std::free(entry.first);
        }
        gQuarantine.clear();
        gFreedIrps.clear();
        gIrpSerial = 0;
    }
    // Device and driver memory belongs to their object records, which the
    // object manager's reset frees.
    for (PDEVICE_OBJECT device : devices) {
        delete Info(device);
        device->DeviceObjectExtension = nullptr;
    }
    for (PDRIVER_OBJECT driver : drivers) {
        delete Info(driver);
        driver->DriverSection = nullptr;
    }
}

bool IsLiveIrp(const void* address) {
    std::lock_guard<std::mutex> guard(gIrpLock);
    return gIrps.count(static_cast<PIRP>(const_cast<void*>(address))) != 0;
}

void AppendIoLeaks(std::vector<std::string>& out) {
    {
        std::lock_guard<std::mutex> guard(gFileLock);
        for (PFILE_OBJECT file : gFiles) {
            out.push_back("file object on " + Label(file->DeviceObject) + " never closed");
        }
    }
    {
        std::lock_guard<std::mutex> guard(gIrpLock);
        for (const auto& entry : gQuarantine) {
            PCMF_UNPOISON(entry.first, entry.second);
            bool intact = PoisonIntact(reinterpret_cast<UCHAR*>(entry.first), entry.second);
            if (detail::AsanTraps()) {
                PCMF_POISON(entry.first, entry.second);
            }
            if (!intact) {
                auto it = gFreedIrps.find(entry.first);
                std::string what =
                    it != gFreedIrps.end() ? Describe(*it->second) : std::string("a request");
                Violate("irp-touched-after-free",
                        what + " was written after it was completed or freed");
                memset(entry.first, kIrpPoison, entry.second); // report once
                if (detail::AsanTraps()) {
                    PCMF_POISON(entry.first, entry.second);
                }
            }
        }
        for (const auto& entry : gIrps) {
            const IrpRecord& record = *entry.second;
            const char* state = record.state == IrpState::Held ? "kept by a completion routine"
                                : record.state == IrpState::InFlight ? "never completed"
                                : record.state == IrpState::CompletedTop
                                    ? "completed but never freed"
                                    : "allocated but never freed";
            out.push_back(Describe(record) + " " + state);
        }
    }
    std::vector<PDEVICE_OBJECT> devices;
    {
        std::lock_guard<std::mutex> guard(gIoLock);
        devices = gDevices;
        for (PDRIVER_OBJECT driver : gDrivers) {
            if (!Info(driver)->unloaded) {
                out.push_back("driver " + DriverName(driver) + " never unloaded");
            }
        }
    }
    for (PDEVICE_OBJECT device : devices) {
        DeviceInfo* info = Info(device);
        if (!info->deleted && !info->orphanedFilter) {
            out.push_back("device " + info->label + " of " + DriverName(device->DriverObject) +
                          " never deleted");
        } else if (info->deleted && info->keptForDetach && device->AttachedDevice != nullptr) {
            if (!Info(device->AttachedDevice)->orphanedFilter) {
                out.push_back("device " + info->label + " deleted but " +
                              Label(device->AttachedDevice) + " is still attached to it");
            }
        } else if (info->deleted) {
            ObjectRecord* record = LookupObject(device);
            if (record != nullptr && record->references > 0) {
                out.push_back("device " + info->label + " deleted but " +
                              std::to_string(record->references) + " reference(s) still held");
            }
        }
    }
}

} // namespace detail

// ---------------------------------------------------------------------------
// Controls.

PDRIVER_OBJECT LoadDriver(const std::string& name, PDRIVER_INITIALIZE entry,
                          NTSTATUS* entryStatus) {
    auto* driver = static_cast<PDRIVER_OBJECT>(std::calloc(1, sizeof(DRIVER_OBJECT)));
    auto* info = new DriverInfo;
    info->name = name;
    info->extension.DriverObject = driver;
    driver->Type = 4;
    driver->Size = sizeof(DRIVER_OBJECT);
    driver->DriverSection = info;
    driver->DriverExtension = &info->extension;
    for (PDRIVER_DISPATCH& slot : driver->MajorFunction) {
        slot = InvalidDeviceRequest;
    }
    detail::CreateObject(
        detail::DriverType(), driver, [](PVOID body) { std::free(body); }, "driver " + name);
    {
        std::lock_guard<std::mutex> guard(gIoLock);
        gDrivers.push_back(driver);
    }
    std::u16string nameWide(name.begin(), name.end());
    info->registryPath = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + nameWide;
    UNICODE_STRING path;
    path.Buffer = info->registryPath.data();
    path.Length = static_cast<USHORT>(info->registryPath.size() * sizeof(WCHAR));
    path.MaximumLength = path.Length;
    NTSTATUS status;
    {
        detail::FrameScope frame(
            detail::Frame{detail::FrameKind::DriverEntry, driver, nullptr, nullptr, 0, -1});
        status = entry(driver, &path);
    }
    if (entryStatus != nullptr) {
        *entryStatus = status;
    }
    return driver;
}

void UnloadDriver(PDRIVER_OBJECT driver) {
    if (driver->DriverUnload != nullptr) {
        detail::FrameScope frame(
            detail::Frame{detail::FrameKind::DriverUnload, driver, nullptr, nullptr, 0, -1});
        driver->DriverUnload(driver);
    }
    std::string name = detail::DriverName(driver);
    for (PDEVICE_OBJECT device = driver->DeviceObject; device != nullptr;
         device = device->NextDevice) {
        if (!Info(device)->orphanedFilter) {
            Violate("driver-unloaded-with-devices",
                    name + " unloaded while its device " + Label(device) + " still exists");
        }
    }
    for (const PoolBlock& block : OutstandingPool()) {
        if (block.owner == name) {
            Violate("pool-leak-at-unload", name + " unloaded with " + std::to_string(block.size) +
                                               " bytes of pool tagged '" + TagText(block.tag) +
                                               "' still allocated");
        }
    }
    bool gone = driver->DeviceObject == nullptr;
    {
        std::lock_guard<std::mutex> guard(gIoLock);
        Info(driver)->unloaded = true;
        if (gone) {
            gDrivers.erase(std::remove(gDrivers.begin(), gDrivers.end(), driver), gDrivers.end());
        }
    }
    if (gone) {
        // Devices left behind keep the driver object (and its name) alive for
        // the findings; the reset reclaims it.
        delete Info(driver);
        driver->DriverSection = nullptr;
        ObfDereferenceObject(driver);
    }
}

NTSTATUS CallAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT newestBefore = driver->DeviceObject;
    NTSTATUS status;
    {
        detail::FrameScope frame(
            detail::Frame{detail::FrameKind::AddDevice, driver, nullptr, nullptr, 0, -1});
        status = driver->DriverExtension->AddDevice(driver, pdo);
    }
    for (PDEVICE_OBJECT device = driver->DeviceObject; device != nullptr && device != newestBefore;
         device = device->NextDevice) {
        if ((device->Flags & DO_DEVICE_INITIALIZING) != 0) {
            Violate("device-initializing",
                    detail::DriverName(driver) + " returned from " +
                        "AddDevice with DO_DEVICE_INITIALIZING still set on " + Label(device));
        }
    }
    return status;
}

void SetDeviceLabel(PDEVICE_OBJECT device, const std::string& label) {
    Info(device)->label = label;
    detail::SetObjectLabel(device, "device " + label);
}

std::string DeviceLabel(PDEVICE_OBJECT device) {
    return Label(device);
}

std::vector<PDEVICE_OBJECT> LiveDevices() {
    std::lock_guard<std::mutex> guard(gIoLock);
    std::vector<PDEVICE_OBJECT> out;
    for (PDEVICE_OBJECT device : gDevices) {
        if (!Info(device)->deleted) {
            out.push_back(device);
        }
    }
    return out;
}

bool DeviceExists(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> guard(gIoLock);
    return std::find(gDevices.begin(), gDevices.end(), device) != gDevices.end() &&
           !Info(device)->deleted;
}

bool DeviceDeleted(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> guard(gIoLock);
    return std::find(gDevices.begin(), gDevices.end(), device) == gDevices.end() ||
           Info(device)->deleted;
}

PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> guard(gIoLock);
    while (device->AttachedDevice != nullptr) {
        device = device->AttachedDevice;
    }
    return device;
}

PDEVICE_OBJECT LowerOf(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> guard(gIoLock);
    return Info(device)->lower;
}

void SetHeldByDevnode(PDEVICE_OBJECT device, bool held) {
    Info(device)->heldByDevnode = held;
}

void MarkOrphanedFilter(PDEVICE_OBJECT device, bool orphaned) {
    Info(device)->orphanedFilter = orphaned;
}

std::vector<PDEVICE_OBJECT> OrphanedFilters() {
    std::lock_guard<std::mutex> guard(gIoLock);
    std::vector<PDEVICE_OBJECT> out;
    for (PDEVICE_OBJECT device : gDevices) {
        if (Info(device)->orphanedFilter && !Info(device)->deleted) {
            out.push_back(device);
        }
    }
    return out;
}

IoResult SendIrp(PDEVICE_OBJECT device, const IrpSpec& spec) {
    auto record = std::make_shared<IrpRecord>();
    record->ioManager = true;
    PIRP irp = NewIrp(device->StackSize, record);
    irp->RequestorMode = spec.requestorMode;
    irp->IoStatus.Status = spec.initialStatus;
    irp->IoStatus.Information = spec.initialInformation;
    irp->UserBuffer = spec.userBuffer;
    irp->Tail.Overlay.OriginalFileObject = spec.fileObject;
    if (spec.buffered) {
        record->buffered = true;
        record->outputLength = spec.outputLength;
        size_t size = std::max<size_t>(spec.input.size(), spec.outputLength);
        if (size > 0) {
            record->systemBuffer = std::malloc(size);
            memset(record->systemBuffer, 0xCC, size);
            if (!spec.input.empty()) {
                memcpy(record->systemBuffer, spec.input.data(), spec.input.size());
            }
        }
        irp->AssociatedIrp.SystemBuffer = record->systemBuffer;
    }
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = spec.major;
    stack->MinorFunction = spec.minor;
    stack->FileObject = spec.fileObject;
    if (spec.buffered) {
        stack->Parameters.DeviceIoControl.InputBufferLength = static_cast<ULONG>(spec.input.size());
        stack->Parameters.DeviceIoControl.OutputBufferLength = spec.outputLength;
    }
    if (spec.parameters) {
        spec.parameters(stack);
    }
    bool power = spec.major == IRP_MJ_POWER;
    NTSTATUS status = CallDriver(device, irp, power);
    IoResult result;
    if (!spec.wait) {
        result.status = status;
        result.returnedPending = status == STATUS_PENDING;
        return result;
    }
    {
        std::unique_lock<std::mutex> lock(detail::DispatcherLock());
        auto finished = [&record]() {
            std::lock_guard<std::mutex> guard(gIrpLock);
            return record->done;
        };
        if (status == STATUS_PENDING) {
            detail::DispatcherWait(lock, finished, "completion of " + Describe(*record));
        } else if (!finished()) {
            // The request has no outcome: the finding is recorded; report what
            // the dispatch routine said and leave the request as a leak.
            result.status = status;
            return result;
        }
    }
    std::lock_guard<std::mutex> guard(gIrpLock);
    result = record->result;
    result.returnedPending = status == STATUS_PENDING;
    return result;
}

namespace {

IoResult SendFileIrp(PFILE_OBJECT file, UCHAR major, KPROCESSOR_MODE mode) {
    IrpSpec spec;
    spec.major = major;
    spec.requestorMode = mode;
    spec.fileObject = file;
    // A create carries the subject's security: the token of the calling
    // thread's process.
    ACCESS_STATE access{};
    IO_SECURITY_CONTEXT security{};
    if (major == IRP_MJ_CREATE) {
        access.SubjectSecurityContext.PrimaryToken = detail::TokenOf(detail::CurrentProcess());
        access.OriginalDesiredAccess = GENERIC_READ | GENERIC_WRITE;
        security.AccessState = &access;
        security.DesiredAccess = GENERIC_READ | GENERIC_WRITE;
        spec.parameters = [&security](PIO_STACK_LOCATION stack) {
            stack->Parameters.Create.SecurityContext = &security;
        };
    }
    return SendIrp(TopOfStack(file->DeviceObject), spec);
}

void ReleaseFile(PFILE_OBJECT file) {
    {
        std::lock_guard<std::mutex> guard(gFileLock);
        gFiles.erase(std::remove(gFiles.begin(), gFiles.end(), file), gFiles.end());
    }
    ObfDereferenceObject(file->DeviceObject);
    std::free(file);
}

} // namespace

OpenResult OpenDevice(const std::u16string& name, KPROCESSOR_MODE mode) {
    OpenResult result;
    PDEVICE_OBJECT device = ResolveDeviceName(name);
    if (device == nullptr) {
        result.status = STATUS_OBJECT_NAME_NOT_FOUND;
        return result;
    }
    auto* file = static_cast<PFILE_OBJECT>(std::calloc(1, sizeof(FILE_OBJECT)));
    file->Type = 5;
    file->Size = sizeof(FILE_OBJECT);
    file->DeviceObject = device;
    ObfReferenceObject(device);
    {
        std::lock_guard<std::mutex> guard(gFileLock);
        gFiles.push_back(file);
    }
    result.status = SendFileIrp(file, IRP_MJ_CREATE, mode).status;
    if (!NT_SUCCESS(result.status)) {
        ReleaseFile(file);
        return result;
    }
    result.file = file;
    return result;
}

IoResult DeviceControl(PFILE_OBJECT file, ULONG code, const std::vector<UCHAR>& input,
                       ULONG outputLength, KPROCESSOR_MODE mode) {
    IrpSpec spec;
    spec.major = IRP_MJ_DEVICE_CONTROL;
    spec.requestorMode = mode;
    spec.fileObject = file;
    spec.buffered = true;
    spec.input = input;
    spec.outputLength = outputLength;
    spec.parameters = [code](PIO_STACK_LOCATION stack) {
        stack->Parameters.DeviceIoControl.IoControlCode = code;
    };
    return SendIrp(TopOfStack(file->DeviceObject), spec);
}

NTSTATUS CloseFile(PFILE_OBJECT file, KPROCESSOR_MODE mode, NTSTATUS* cleanupStatus) {
    NTSTATUS cleanup = SendFileIrp(file, IRP_MJ_CLEANUP, mode).status;
    if (cleanupStatus != nullptr) {
        *cleanupStatus = cleanup;
    }
    NTSTATUS status = SendFileIrp(file, IRP_MJ_CLOSE, mode).status;
    ReleaseFile(file);
    return status;
}

IoResult SendPowerIrp(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE_TYPE type,
                      POWER_STATE state) {
    IrpSpec spec;
    spec.major = IRP_MJ_POWER;
    spec.minor = minor;
    spec.initialStatus = STATUS_NOT_SUPPORTED;
    spec.parameters = [type, state](PIO_STACK_LOCATION stack) {
        stack->Parameters.Power.Type = type;
        stack->Parameters.Power.State = state;
    };
    return SendIrp(device, spec);
}

std::vector<PDEVICE_OBJECT> StackAbove(PDEVICE_OBJECT pdo) {
    std::lock_guard<std::mutex> guard(gIoLock);
    std::vector<PDEVICE_OBJECT> out;
    for (PDEVICE_OBJECT device = pdo->AttachedDevice; device != nullptr;
         device = device->AttachedDevice) {
        out.push_back(device);
    }
    return out;
}

void CheckRemoved(const std::vector<PDEVICE_OBJECT>& stack) {
    for (PDEVICE_OBJECT device : stack) {
        std::lock_guard<std::mutex> guard(gIoLock);
        bool alive = std::find(gDevices.begin(), gDevices.end(), device) != gDevices.end() &&
                     !Info(device)->deleted;
        if (alive && !Info(device)->orphanedFilter) {
            Violate("device-not-removed",
                    "after a full remove, " + Label(device) +
                        (Info(device)->lower != nullptr ? " is still attached" : " still exists"));
        }
    }
}

size_t LiveIrpCount() {
    std::lock_guard<std::mutex> guard(gIrpLock);
    return gIrps.size();
}

void FailNextIrpAllocation() {
    std::lock_guard<std::mutex> guard(gIoLock);
    gFailIrp = true;
}

void FailNextDeviceCreation(NTSTATUS status) {
    std::lock_guard<std::mutex> guard(gIoLock);
    gFailDevice = true;
    gFailDeviceStatus = status;
}

void FailNextSymbolicLink(NTSTATUS status) {
    std::lock_guard<std::mutex> guard(gIoLock);
    gFailLink = true;
    gFailLinkStatus = status;
}

void ClearFaultPlans() {
    {
        std::lock_guard<std::mutex> guard(gIoLock);
        gFailIrp = false;
        gFailDevice = false;
        gFailLink = false;
        gFailAttach = false;
    }
    FailNthAllocation(0);
}

void FailNextAttach() {
    std::lock_guard<std::mutex> guard(gIoLock);
    gFailAttach = true;
}

DEVICE_TYPE CreatedDeviceType(PDEVICE_OBJECT device) {
    return Info(device)->createdType;
}

void SetWdmVersionAvailable(bool xpOrLater) {
    std::lock_guard<std::mutex> guard(gIoLock);
    gWdmXp = xpOrLater;
}

std::vector<RelationsInvalidation> TakeInvalidations() {
    std::lock_guard<std::mutex> guard(gIoLock);
    std::vector<RelationsInvalidation> out;
    out.swap(gInvalidations);
    return out;
}

} // namespace hk

// ---------------------------------------------------------------------------
// Services.

using hk::detail::RequireIrql;
using hk::detail::Violate;

NTSTATUS IoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return hk::CallDriver(DeviceObject, Irp, false);
}

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return hk::CallDriver(DeviceObject, Irp, true);
}

VOID PoStartNextPowerIrp(PIRP Irp) {
    RequireIrql(DISPATCH_LEVEL, "PoStartNextPowerIrp");
    std::shared_ptr<hk::IrpRecord> record = hk::FindIrp(Irp);
    if (record == nullptr || record->state == hk::IrpState::Freed) {
        Violate("irp-touched-after-free", "PoStartNextPowerIrp on a request that is gone");
        return;
    }
    std::lock_guard<std::mutex> guard(hk::gIrpLock);
    hk::Call* call = hk::CallOfCaller(*record, Irp);
    if (call != nullptr) {
        call->powerStartNext++;
    }
}

VOID IoCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    (void)PriorityBoost;
    RequireIrql(DISPATCH_LEVEL, "IoCompleteRequest");
    hk::detail::RequireNoSpinLock("a request completed");
    std::shared_ptr<hk::IrpRecord> record = hk::FindIrp(Irp);
    if (record == nullptr) {
        Violate("irp-unknown", "IoCompleteRequest with memory that is no request");
        return;
    }
    PDRIVER_OBJECT caller = hk::detail::CurrentDriver();
    {
        std::lock_guard<std::mutex> guard(hk::gIrpLock);
        switch (record->state) {
        case hk::IrpState::InFlight:
            break;
        case hk::IrpState::Held:
        case hk::IrpState::InRoutine:
            if (record->keeperKnown && caller != record->keeper) {
                Violate("irp-kept-completed-by-other", hk::Describe(*record) + " kept by " +
                                                           hk::detail::DriverName(record->keeper) +
                                                           " was completed by " +
                                                           hk::detail::DriverName(caller));
            }
            break;
        case hk::IrpState::Allocated:
            Violate("irp-completed-unsent",
                    hk::Describe(*record) + " completed before it was sent");
            return;
        default:
            Violate("irp-completed-twice", hk::Describe(*record) + " completed again by " +
                                               hk::detail::DriverName(caller));
            return;
        }
        record->state = hk::IrpState::InFlight;
        hk::Call* call = hk::CallOfCaller(*record, Irp);
        if (call != nullptr) {
            call->completedHere = true;
            call->completedStatus = Irp->IoStatus.Status;
        }
        if (record->major == IRP_MJ_PNP && record->minor == IRP_MN_REMOVE_DEVICE &&
            !NT_SUCCESS(Irp->IoStatus.Status)) {
            Violate("remove-failed", hk::Describe(*record) + " failed with " +
                                         hk::detail::Hex(static_cast<ULONG>(Irp->IoStatus.Status)) +
                                         " by " + hk::detail::DriverName(caller));
        }
    }
    hk::Complete(record);
}

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
    (void)ChargeQuota;
    RequireIrql(DISPATCH_LEVEL, "IoAllocateIrp");
    {
        std::lock_guard<std::mutex> guard(hk::gIoLock);
        if (hk::gFailIrp) {
            hk::gFailIrp = false;
            return nullptr;
        }
    }
    auto record = std::make_shared<hk::IrpRecord>();
    record->driverAllocated = true;
    record->allocatorDriver = hk::detail::CurrentDriver();
    record->allocator = hk::detail::DriverName(record->allocatorDriver);
    return hk::NewIrp(StackSize, record);
}

VOID IoFreeIrp(PIRP Irp) {
    RequireIrql(DISPATCH_LEVEL, "IoFreeIrp");
    std::shared_ptr<hk::IrpRecord> record = hk::FindIrp(Irp);
    PDRIVER_OBJECT caller = hk::detail::CurrentDriver();
    std::lock_guard<std::mutex> guard(hk::gIrpLock);
    if (record == nullptr) {
        Violate("irp-unknown", "IoFreeIrp with memory that is no request");
        return;
    }
    if (record->state == hk::IrpState::Freed) {
        Violate("irp-freed-twice",
                hk::Describe(*record) + " freed again by " + hk::detail::DriverName(caller));
        return;
    }
    if (!record->driverAllocated) {
        Violate("irp-freed-not-owner", hk::Describe(*record) + " belongs to the I/O manager but " +
                                           hk::detail::DriverName(caller) + " freed it");
        return;
    }
    if (record->state == hk::IrpState::InFlight) {
        Violate("irp-freed-in-flight", hk::Describe(*record) + " freed by " +
                                           hk::detail::DriverName(caller) +
                                           " while a driver still owns it");
    } else if ((record->state == hk::IrpState::Held || record->state == hk::IrpState::InRoutine) &&
               record->keeperKnown && caller != record->keeper) {
        Violate("irp-kept-freed-by-other", hk::Describe(*record) + " kept by " +
                                               hk::detail::DriverName(record->keeper) +
                                               " was freed by " + hk::detail::DriverName(caller));
    }
    hk::RetireIrp(record);
}

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                        PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                        ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT* DeviceObject) {
    RequireIrql(PASSIVE_LEVEL, "IoCreateDevice");
    {
        std::lock_guard<std::mutex> guard(hk::gIoLock);
        if (hk::gFailDevice) {
            hk::gFailDevice = false;
            return hk::gFailDeviceStatus;
        }
    }
    size_t bytes = sizeof(DEVICE_OBJECT) + DeviceExtensionSize;
    auto* device = static_cast<PDEVICE_OBJECT>(std::calloc(1, bytes));
    auto* info = new hk::DeviceInfo;
    info->extensionSize = DeviceExtensionSize;
    info->createdType = DeviceType;
    device->Type = 3;
    device->Size = static_cast<USHORT>(std::min<size_t>(bytes, 0xFFFF));
    device->DriverObject = DriverObject;
    device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
    device->Characteristics = DeviceCharacteristics;
    device->DeviceType = DeviceType;
    device->StackSize = 1;
    device->DeviceExtension = DeviceExtensionSize != 0 ? device + 1 : nullptr;
    device->DeviceObjectExtension = info;
    if (DeviceName != nullptr) {
        std::u16string name(DeviceName->Buffer, DeviceName->Length / sizeof(WCHAR));
        NTSTATUS status = hk::detail::InsertName(name, device);
        if (!NT_SUCCESS(status)) {
            delete info;
            std::free(device);
            return status;
        }
        info->named = true;
    }
    {
        std::lock_guard<std::mutex> guard(hk::gIoLock);
        info->label = hk::detail::DriverName(DriverObject) + " device #" +
                      std::to_string(++hk::gDeviceSerial);
        if (DeviceName != nullptr) {
            info->label +=
                " " + hk::detail::Narrow(DeviceName->Buffer, DeviceName->Length / sizeof(WCHAR));
        }
        hk::gDevices.push_back(device);
        device->NextDevice = DriverObject->DeviceObject;
        DriverObject->DeviceObject = device;
    }
    // The creator's reference is the one IoDeleteDevice drops.
    hk::detail::CreateObject(
        hk::detail::DeviceType(), device,
        [](PVOID body) {
            auto* dead = static_cast<PDEVICE_OBJECT>(body);
            {
                std::lock_guard<std::mutex> guard(hk::gIoLock);
                hk::gDevices.erase(std::remove(hk::gDevices.begin(), hk::gDevices.end(), dead),
                                   hk::gDevices.end());
            }
            delete hk::Info(dead);
            std::free(dead);
        },
        "device " + info->label);
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    RequireIrql(PASSIVE_LEVEL, "IoDeleteDevice");
    {
        std::lock_guard<std::mutex> guard(hk::gIoLock);
        if (std::find(hk::gDevices.begin(), hk::gDevices.end(), DeviceObject) ==
            hk::gDevices.end()) {
            Violate("device-deleted-twice",
                    "IoDeleteDevice on a device object that no longer exists");
            return;
        }
    }
    hk::DeviceInfo* info = hk::Info(DeviceObject);
    std::string label = info->label;
    if (info->deleted) {
        Violate("device-deleted-twice", "IoDeleteDevice called again for " + label);
        return;
    }
    // A device may be deleted while another is still attached above it: a
    // PDO deletes itself while the remove request passes through it, before
    // the devices above detach.  Its memory stays until they have; one that
    // never detaches is reported as a leak.
    if (info->lower != nullptr) {
        Violate("device-deleted-attached",
                label + " deleted while still attached to " + hk::Label(info->lower));
    }
    bool attached = DeviceObject->AttachedDevice != nullptr || info->lower != nullptr;
    if (info->heldByDevnode) {
        Violate("device-deleted-held", label + " deleted while a device node still holds it");
    }
    if (DeviceObject->DeviceExtension != nullptr) {
        const UCHAR* begin = static_cast<const UCHAR*>(DeviceObject->DeviceExtension);
        hk::detail::ForgetRemoveLocksIn(begin, begin + info->extensionSize, label);
    }
    if (info->named) {
        hk::detail::RemoveNamesOf(DeviceObject);
    }
    {
        std::lock_guard<std::mutex> guard(hk::gIoLock);
        info->deleted = true;
        PDRIVER_OBJECT driver = DeviceObject->DriverObject;
        for (PDEVICE_OBJECT* link = &driver->DeviceObject; *link != nullptr;
             link = &(*link)->NextDevice) {
            if (*link == DeviceObject) {
                *link = DeviceObject->NextDevice;
                break;
            }
        }
    }
    if (attached) {
        // The stack still points at this device: its memory stays until it is
        // detached, so the findings above are all that happens.
        info->keptForDetach = true;
        return;
    }
    ObfDereferenceObject(DeviceObject);
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                           PDEVICE_OBJECT TargetDevice) {
    RequireIrql(PASSIVE_LEVEL, "IoAttachDeviceToDeviceStack");
    std::lock_guard<std::mutex> guard(hk::gIoLock);
    if (hk::gFailAttach) {
        hk::gFailAttach = false;
        return nullptr;
    }
    PDEVICE_OBJECT top = TargetDevice;
    while (top->AttachedDevice != nullptr) {
        top = top->AttachedDevice;
    }
    if (hk::Info(top)->deleted) {
        return nullptr;
    }
    top->AttachedDevice = SourceDevice;
    hk::Info(SourceDevice)->lower = top;
    SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
    SourceDevice->SectorSize = top->SectorSize;
    return top;
}

VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
    RequireIrql(PASSIVE_LEVEL, "IoDetachDevice");
    std::vector<PDEVICE_OBJECT> release;
    {
        std::lock_guard<std::mutex> guard(hk::gIoLock);
        PDEVICE_OBJECT above = TargetDevice->AttachedDevice;
        if (above == nullptr) {
            Violate("detach-nothing-attached", "IoDetachDevice on " + hk::Label(TargetDevice) +
                                                   ", which has nothing attached");
            return;
        }
        hk::Info(above)->lower = nullptr;
        TargetDevice->AttachedDevice = nullptr;
        // A device deleted while still in the stack goes once it is out of it.
        for (PDEVICE_OBJECT device : {above, TargetDevice}) {
            hk::DeviceInfo* info = hk::Info(device);
            if (info->keptForDetach && device->AttachedDevice == nullptr &&
                info->lower == nullptr) {
                info->keptForDetach = false;
                release.push_back(device);
            }
        }
    }
    for (PDEVICE_OBJECT device : release) {
        ObfDereferenceObject(device);
    }
}

PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
    RequireIrql(DISPATCH_LEVEL, "IoGetAttachedDeviceReference");
    PDEVICE_OBJECT top = hk::TopOfStack(DeviceObject);
    ObfReferenceObject(top);
    return top;
}

BOOLEAN IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion) {
    std::lock_guard<std::mutex> guard(hk::gIoLock);
    // Windows XP reports WDM 1.20; Windows 2000 reports 1.10.
    UCHAR supportedMinor = hk::gWdmXp ? 0x20 : 0x10;
    return MajorVersion < 1 || (MajorVersion == 1 && MinorVersion <= supportedMinor);
}

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
    RequireIrql(PASSIVE_LEVEL, "IoCreateSymbolicLink");
    {
        std::lock_guard<std::mutex> guard(hk::gIoLock);
        if (hk::gFailLink) {
            hk::gFailLink = false;
            return hk::gFailLinkStatus;
        }
    }
    std::u16string link(SymbolicLinkName->Buffer, SymbolicLinkName->Length / sizeof(WCHAR));
    std::u16string target(DeviceName->Buffer, DeviceName->Length / sizeof(WCHAR));
    return hk::detail::InsertLink(link, target);
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
    RequireIrql(PASSIVE_LEVEL, "IoDeleteSymbolicLink");
    std::u16string link(SymbolicLinkName->Buffer, SymbolicLinkName->Length / sizeof(WCHAR));
    return hk::detail::RemoveLink(link);
}

VOID IoInvalidateDeviceRelations(PDEVICE_OBJECT DeviceObject, DEVICE_RELATION_TYPE Type) {
    RequireIrql(DISPATCH_LEVEL, "IoInvalidateDeviceRelations");
    std::lock_guard<std::mutex> guard(hk::gIoLock);
    hk::gInvalidations.push_back(hk::RelationsInvalidation{DeviceObject, Type});
}
