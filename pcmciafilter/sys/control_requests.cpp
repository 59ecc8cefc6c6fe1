// Requests addressed to the driver's device objects through create, close,
// cleanup and device control: the control device's request frame and the
// service's control requests; filter traffic goes to the write-blocking
// branch.
//
// The requests act at two speeds.  Suspend and resume change
// EnforcementSuspended at once and make every bus re-enumerate.  The setting
// requests only write the registry: BlockMode and ReadOnlyActive follow at the
// next settings load, while ReadOnlyConfigured, which the status requests
// report, changes at once.

#include "driver.h"
#include "include/pcmfilter_ioctl.h"

// Pool tag of the control work block: bytes "LIDF".
#define CONTROL_WORK_TAG 0x4644494C
#define CONTROL_WORK_SIZE 296
// Room for a value text and a salt of up to three digits.
#define STATUS_VALUE_BYTES 20

// The per-request work area of the control device, from non-paged pool: the
// status query's buffers live here rather than on the dispatch routine's
// stack.
typedef union _CONTROL_WORK_BLOCK {
    struct {
        PVOID SystemBuffer;
        ULONG InputLength;
        ULONG OutputLength;
        ULONG ReadOnlyAnswer;
        UNICODE_STRING ModeValue;
        WCHAR ModeBuffer[STATUS_VALUE_BYTES / sizeof(WCHAR)];
        UNICODE_STRING ReadOnlyValue;
        WCHAR ReadOnlyBuffer[STATUS_VALUE_BYTES / sizeof(WCHAR)];
        BOOLEAN KnownScanFailed;
        FILTER_STATUS Answer;
    } Request;
    UCHAR Space[CONTROL_WORK_SIZE];
} CONTROL_WORK_BLOCK, *PCONTROL_WORK_BLOCK;

#if defined(PCMF_TARGET_KERNEL)
static_assert(sizeof(CONTROL_WORK_BLOCK) == 296, "the control work block is 296 bytes");
static_assert(sizeof(CONTROL_EXTENSION) == 8, "CONTROL_EXTENSION is 8 bytes");
#endif

// Whether the subject of a create request holds the administrators group (an
// administrator or local system).  The control device is the off-switch of a
// device-control product: no other caller may open it.
static BOOLEAN CallerIsAdministrator(PIO_STACK_LOCATION Stack) {
    PIO_SECURITY_CONTEXT security = Stack->Parameters.Create.SecurityContext;
    if (security == NULL || security->AccessState == NULL) {
        return FALSE;
    }
    PSECURITY_SUBJECT_CONTEXT subject = &security->AccessState->SubjectSecurityContext;
    SeLockSubjectContext(subject);
    BOOLEAN admin = SeTokenIsAdmin(SeQuerySubjectContextToken(subject));
    SeUnlockSubjectContext(subject);
    return admin;
}

// Suspend and resume: set the flag, then make every registered bus
// re-enumerate, so that the next relations pass of each applies it.  The loop
// holds StateLock: the PnP manager registers and removes bus filters on its
// own thread meanwhile, and a filter read from the registry must not be
// deleted before its bus is invalidated (IoInvalidateDeviceRelations only
// queues the query, and may be called at DISPATCH_LEVEL).
static NTSTATUS Reenumerate(BOOLEAN Suspend) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&DriverState.StateLock, &oldIrql);
    WRITE_SHARED(DriverState.EnforcementSuspended, Suspend);
    for (ULONG index = 0; index < DriverState.FilterCount; index++) {
        PDEVICE_OBJECT filter = DriverState.FilterDevices[index];
        IoInvalidateDeviceRelations(((PFILTER_EXTENSION)filter->DeviceExtension)->Pdo,
                                    BusRelations);
    }
    KeReleaseSpinLock(&DriverState.StateLock, oldIrql);
    return STATUS_SUCCESS;
}

// The known-device list becomes a copy of the registered bus filters, at
// most as many as it holds.
static NTSTATUS Rebaseline() {
    KIRQL oldIrql;
    KeAcquireSpinLock(&DriverState.StateLock, &oldIrql);
    ULONG count = DriverState.FilterCount;
    if (count > KNOWN_DEVICE_CAPACITY) {
        count = KNOWN_DEVICE_CAPACITY;
    }
    for (ULONG index = 0; index < count; index++) {
        DriverState.KnownDevices[index] = DriverState.FilterDevices[index];
    }
    DriverState.KnownCount = count;
    KeReleaseSpinLock(&DriverState.StateLock, oldIrql);
    return STATUS_SUCCESS;
}

static VOID SetReadOnlyConfigured(BOOLEAN Value) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&DriverState.StateLock, &oldIrql);
    WRITE_SHARED(DriverState.ReadOnlyConfigured, Value);
    KeReleaseSpinLock(&DriverState.StateLock, oldIrql);
}

// Releases the registered event, if any.
static NTSTATUS ClearNotifyEvent() {
    KIRQL oldIrql;
    KeAcquireSpinLock(&DriverState.StateLock, &oldIrql);
    PKEVENT old = DriverState.NotifyEventHeld ? DriverState.NotifyEvent : NULL;
    DriverState.NotifyEvent = NULL;
    DriverState.NotifyEventHeld = FALSE;
    KeReleaseSpinLock(&DriverState.StateLock, oldIrql);
    if (old != NULL) {
        ObDereferenceObject(old);
    }
    return STATUS_SUCCESS;
}

// Registers the service's event: the one held before is released first, the
// handle is referenced in the requester's own access mode (a user-mode caller
// reaches only its own handles, and only with the access they grant), and the
// new reference is stored.  A registration that raced with this one and
// stored its event meanwhile is replaced and released, so no reference is
// lost or leaked.  A handle that is no usable event leaves none registered.
// PASSIVE_LEVEL (the handle lookup).
NTSTATUS RegisterNotifyEvent(const FILTER_EVENT_INPUT* Input, KPROCESSOR_MODE RequestorMode) {
    ClearNotifyEvent();

    PVOID event = NULL;
    NTSTATUS status = ObReferenceObjectByHandle(ULongToHandle(Input->EventHandle), SYNCHRONIZE,
                                                *ExEventObjectType, RequestorMode, &event, NULL);
    if (!NT_SUCCESS(status)) {
        return STATUS_INVALID_PARAMETER;
    }

    KIRQL oldIrql;
    KeAcquireSpinLock(&DriverState.StateLock, &oldIrql);
    PKEVENT replaced = DriverState.NotifyEventHeld ? DriverState.NotifyEvent : NULL;
    DriverState.NotifyEvent = (PKEVENT)event;
    DriverState.NotifyEventHeld = TRUE;
    KeReleaseSpinLock(&DriverState.StateLock, oldIrql);
    if (replaced != NULL) {
        ObDereferenceObject(replaced);
    }
    return STATUS_SUCCESS;
}

// Whether a status value buffer (value text followed by salt) starts with the
// given text, compared as UTF-16 bytes.
static BOOLEAN ValueBeginsWith(const UNICODE_STRING* Value, PCWSTR Prefix) {
    SIZE_T bytes = 0;
    while (Prefix[bytes / sizeof(WCHAR)] != 0) {
        bytes += sizeof(WCHAR);
    }
    return bytes <= Value->MaximumLength && RtlCompareMemory(Value->Buffer, Prefix, bytes) == bytes;
}

// The two-word status: whether the bus devices of the baseline are all still
// registered (or a filter was removed with a child filter left), and the
// protection the stored settings describe.  The answer is 8 bytes; a shorter
// output buffer is refused with the size needed and nothing is written.
static NTSTATUS QueryStatus(PIRP Irp, PCONTROL_WORK_BLOCK Work) {
    if (Work->Request.OutputLength < sizeof(FILTER_STATUS)) {
        Irp->IoStatus.Information = sizeof(FILTER_STATUS);
        return STATUS_BUFFER_TOO_SMALL;
    }
    Work->Request.Answer.DeviceState = FILTER_DEVICES_UNCHANGED;
    Work->Request.Answer.ProtectionState = 0;

    KIRQL oldIrql;
    KeAcquireSpinLock(&DriverState.StateLock, &oldIrql);
    Work->Request.KnownScanFailed = FALSE;
    for (ULONG known = 0; known < DriverState.KnownCount; known++) {
        ULONG index;
        for (index = 0; index < DriverState.FilterCount; index++) {
            if (DriverState.FilterDevices[index] == DriverState.KnownDevices[known]) {
                break;
            }
        }
        if (index == DriverState.FilterCount) {
            Work->Request.KnownScanFailed = TRUE;
            break;
        }
    }
    KeReleaseSpinLock(&DriverState.StateLock, oldIrql);
    if (Work->Request.KnownScanFailed) {
        Work->Request.Answer.DeviceState = FILTER_DEVICES_GONE;
    }

    PUNICODE_STRING mode = &Work->Request.ModeValue;
    RtlZeroMemory(Work->Request.ModeBuffer, sizeof(Work->Request.ModeBuffer));
    mode->Buffer = Work->Request.ModeBuffer;
    mode->Length = 0;
    mode->MaximumLength = sizeof(Work->Request.ModeBuffer);
    if (VerifyProtectedSetting(WIDE("0"), WIDE("0"), mode)) {
        if (ValueBeginsWith(mode, WIDE("BLOCK"))) {
            Work->Request.Answer.ProtectionState = 0;
        }
        if (ValueBeginsWith(mode, WIDE("OFF"))) {
            Work->Request.Answer.ProtectionState = 1;
        }
        if (ValueBeginsWith(mode, WIDE("ON"))) {
            // A single byte, read without the lock.
            Work->Request.Answer.ProtectionState =
                READ_UNLOCKED(DriverState.ReadOnlyConfigured) ? 3 : 2;
        }
    }

    PUNICODE_STRING readOnly = &Work->Request.ReadOnlyValue;
    RtlZeroMemory(Work->Request.ReadOnlyBuffer, sizeof(Work->Request.ReadOnlyBuffer));
    readOnly->Buffer = Work->Request.ReadOnlyBuffer;
    readOnly->Length = 0;
    readOnly->MaximumLength = sizeof(Work->Request.ReadOnlyBuffer);
    if (VerifyProtectedSetting(WIDE("1"), WIDE("257"), readOnly) &&
        ValueBeginsWith(readOnly, WIDE("YES"))) {
        Work->Request.Answer.ProtectionState = 3;
    }

    // A single byte, read without the lock; set once, never cleared.
    if (READ_UNLOCKED(DriverState.ChildFiltersOrphaned)) {
        Work->Request.Answer.DeviceState = FILTER_DEVICES_ORPHANED;
    }

    RtlCopyMemory(Work->Request.SystemBuffer, &Work->Request.Answer, sizeof(FILTER_STATUS));
    Irp->IoStatus.Information = sizeof(FILTER_STATUS);
    return STATUS_SUCCESS;
}

// One device-control request of the service.  The status, and Information
// where the request answers with data.
static NTSTATUS ServeControlRequest(PIRP Irp, PIO_STACK_LOCATION Stack, PCONTROL_WORK_BLOCK Work) {
    switch (Stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_PCMCIA_FILTER_RESUME:
        return Reenumerate(FALSE);
    case IOCTL_PCMCIA_FILTER_SUSPEND:
        return Reenumerate(TRUE);
    case IOCTL_PCMCIA_FILTER_REBASELINE:
        return Rebaseline();
    case IOCTL_PCMCIA_FILTER_SET_OFF:
        StoreBlockMode(WIDE("OFF"));
        StoreReadOnly(WIDE("NO"));
        SetReadOnlyConfigured(FALSE);
        return STATUS_SUCCESS;
    case IOCTL_PCMCIA_FILTER_SET_ALLBLOCK:
        return StoreBlockMode(WIDE("ALLBLOCK"));
    case IOCTL_PCMCIA_FILTER_SET_READONLY:
        StoreReadOnly(WIDE("YES"));
        SetReadOnlyConfigured(TRUE);
        return STATUS_SUCCESS;
    case IOCTL_PCMCIA_FILTER_CLEAR_READONLY:
        StoreReadOnly(WIDE("NO"));
        SetReadOnlyConfigured(FALSE);
        return STATUS_SUCCESS;
    case IOCTL_PCMCIA_FILTER_GET_READONLY: {
        Irp->IoStatus.Information = FILTER_READONLY_OUTPUT_SIZE;
        if (Work->Request.OutputLength < FILTER_READONLY_OUTPUT_SIZE) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        KIRQL oldIrql;
        KeAcquireSpinLock(&DriverState.StateLock, &oldIrql);
        Work->Request.ReadOnlyAnswer = DriverState.ReadOnlyConfigured ? 1 : 0;
        KeReleaseSpinLock(&DriverState.StateLock, oldIrql);
        RtlCopyMemory(Work->Request.SystemBuffer, &Work->Request.ReadOnlyAnswer,
                      FILTER_READONLY_OUTPUT_SIZE);
        return STATUS_SUCCESS;
    }
    case IOCTL_PCMCIA_FILTER_SET_EVENT:
        if (Work->Request.InputLength < sizeof(FILTER_EVENT_INPUT)) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        return RegisterNotifyEvent((const FILTER_EVENT_INPUT*)Work->Request.SystemBuffer,
                                   Irp->RequestorMode);
    case IOCTL_PCMCIA_FILTER_CLEAR_EVENT:
        return ClearNotifyEvent();
    case IOCTL_PCMCIA_FILTER_GET_STATUS:
        return QueryStatus(Irp, Work);
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

// The control device's request frame.  Every request addressed to the control
// device is completed here, exactly once, before the routine returns; none is
// pended, queued or passed on.  Runs at PASSIVE_LEVEL in the requester's
// thread.
static NTSTATUS DispatchControlDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    NTSTATUS status;
    PCONTROL_EXTENSION extension = (PCONTROL_EXTENSION)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PCONTROL_WORK_BLOCK work = (PCONTROL_WORK_BLOCK)ExAllocatePoolWithTag(
        NonPagedPool, sizeof(CONTROL_WORK_BLOCK), CONTROL_WORK_TAG);
    if (work == NULL) {
        // A close cannot fail: the handle is gone whatever it answers, and a
        // reference left counted would keep the control device (and the
        // driver) forever.  It needs no work block, nor does a cleanup.
        if (stack->MajorFunction == IRP_MJ_CLOSE && !extension->ControlDeleted) {
            DeleteControlDevice();
            return CompleteRequest(Irp, STATUS_SUCCESS);
        }
        if (stack->MajorFunction == IRP_MJ_CLEANUP) {
            return CompleteRequest(Irp, STATUS_SUCCESS);
        }
        Irp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    if (extension->ControlDeleted) {
        status = STATUS_DEVICE_REMOVED;
        goto Done;
    }

    Irp->IoStatus.Information = 0;
    work->Request.SystemBuffer = Irp->AssociatedIrp.SystemBuffer;
    work->Request.InputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    work->Request.OutputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;

    switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
        if (!CallerIsAdministrator(stack)) {
            status = STATUS_ACCESS_DENIED;
            break;
        }
        status = ReferenceControlHandle(DeviceObject);
        break;
    case IRP_MJ_CLOSE:
        // May delete the device while this request is still being completed;
        // from here on only the request and the work block are touched.
        DeleteControlDevice();
        status = STATUS_SUCCESS;
        break;
    case IRP_MJ_DEVICE_CONTROL:
        status = ServeControlRequest(Irp, stack, work);
        break;
    default:
        status = STATUS_SUCCESS;
        break;
    }

Done:
    ExFreePoolWithTag(work, CONTROL_WORK_TAG);
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

// Create, close, cleanup and device control.  Requests for the control device
// (also one that raced with its deletion, after ControlDevice was cleared) are
// served by its request frame; every other device is a filter, whose storage
// child filters block writes.
NTSTATUS NTAPI DispatchControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (!IsFilterDevice(DeviceObject)) {
        return DispatchControlDevice(DeviceObject, Irp);
    }
    return DispatchFilterControl(DeviceObject, Irp);
}
