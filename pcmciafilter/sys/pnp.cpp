// PnP dispatch and the life cycle of every filter device, bus filter and
// child filter alike: the PnP state, the synchronous start with the bus
// filter's control device reference, the routing of relation queries to the
// relations and ejection passes, the paging flag, and the removal.
//
// Every request is taken under the filter's remove lock.  Each minor code has
// its own handler; each handler ends in exactly one of: passed down (the lock
// released after the lower call returns), passed down with a completion
// routine that releases the lock, completed here, or, for the full removal,
// passed down after the lock was released and waited for.

#include "driver.h"

// To set a state remembers the one before, for a cancel request to restore.
static VOID SetPnpState(PFILTER_EXTENSION Extension, PNP_STATE State) {
    Extension->PreviousPnpState = Extension->PnpState;
    Extension->PnpState = State;
}

static VOID RestorePnpState(PFILTER_EXTENSION Extension) {
    Extension->PnpState = Extension->PreviousPnpState;
}

// Passes the request down with the given status and releases the remove lock
// after the lower call; returns what the lower driver returned.
static NTSTATUS PassDown(PFILTER_EXTENSION Extension, PIRP Irp, NTSTATUS Status) {
    Irp->IoStatus.Status = Status;
    IoSkipCurrentIrpStackLocation(Irp);
    NTSTATUS status = IoCallDriver(Extension->LowerDevice, Irp);
    IoReleaseRemoveLock(&Extension->RemoveLock, Irp);
    return status;
}

// Forwards the start and waits for the lower drivers to finish it, then
// completes it here with their status.  A bus filter's first successful start
// that does not follow a stop takes its one reference on the control device
// (which creates the device with the first reference); it keeps that
// reference, whatever the creation gave, until its removal.  PASSIVE_LEVEL.
static NTSTATUS HandleStartDevice(PDEVICE_OBJECT DeviceObject, PFILTER_EXTENSION Extension,
                                  PIRP Irp) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, SyncCompletion, &event, TRUE, TRUE, TRUE);
    if (IoCallDriver(Extension->LowerDevice, Irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    }
    NTSTATUS status = Irp->IoStatus.Status;

    if (NT_SUCCESS(status)) {
        SetPnpState(Extension, Started);
        if ((Extension->LowerDevice->Characteristics & FILE_REMOVABLE_MEDIA) != 0) {
            DeviceObject->Characteristics |= FILE_REMOVABLE_MEDIA;
        }
        if (Extension->PreviousPnpState != Stopped && IsBusFilter(Extension) &&
            !Extension->HoldsControlReference) {
            CreateControlDevice(DeviceObject);
            Extension->HoldsControlReference = TRUE;
        }
    }

    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    IoReleaseRemoveLock(&Extension->RemoveLock, Irp);
    return status;
}

// A query-remove after a removal-relations query marks the child filter as
// about to be removed.
static NTSTATUS HandleQueryRemove(PFILTER_EXTENSION Extension, PIRP Irp) {
    if (Extension->RemovalRelationsSeen) {
        SetPnpState(Extension, RemovePending);
    }
    return PassDown(Extension, Irp, STATUS_SUCCESS);
}

static NTSTATUS HandleCancelRemove(PFILTER_EXTENSION Extension, PIRP Irp) {
    if (Extension->PnpState == RemovePending) {
        RestorePnpState(Extension);
    }
    return PassDown(Extension, Irp, STATUS_SUCCESS);
}

static NTSTATUS HandleStop(PFILTER_EXTENSION Extension, PIRP Irp) {
    SetPnpState(Extension, Stopped);
    return PassDown(Extension, Irp, STATUS_SUCCESS);
}

static NTSTATUS HandleQueryStop(PFILTER_EXTENSION Extension, PIRP Irp) {
    SetPnpState(Extension, StopPending);
    return PassDown(Extension, Irp, STATUS_SUCCESS);
}

static NTSTATUS HandleCancelStop(PFILTER_EXTENSION Extension, PIRP Irp) {
    if (Extension->PnpState == StopPending) {
        RestorePnpState(Extension);
    }
    return PassDown(Extension, Irp, STATUS_SUCCESS);
}

static NTSTATUS HandleSurpriseRemoval(PFILTER_EXTENSION Extension, PIRP Irp) {
    Extension->RemovalRelationsSeen = FALSE;
    SetPnpState(Extension, SurpriseRemovePending);
    return PassDown(Extension, Irp, STATUS_SUCCESS);
}

// Routes a relations query to the pass that rewrites its answer: ejection
// relations to the ejection filter, every other type to the relations pass.
// A removal-relations query on a child filter arms the deferral of its first
// remove; any other type but a target relation disarms it.  The completion
// routine releases the remove lock.
static NTSTATUS HandleQueryRelations(PFILTER_EXTENSION Extension, PIRP Irp) {
    DEVICE_RELATION_TYPE type =
        IoGetCurrentIrpStackLocation(Irp)->Parameters.QueryDeviceRelations.Type;
    IoCopyCurrentIrpStackLocationToNext(Irp);
    if (type == RemovalRelations && !IsBusFilter(Extension)) {
        Extension->RemovalRelationsSeen = TRUE;
    } else if (type != TargetDeviceRelation) {
        Extension->RemovalRelationsSeen = FALSE;
    }
    IoSetCompletionRoutine(
        Irp, type == EjectionRelations ? EjectionRelationsCompletion : BusRelationsCompletion, NULL,
        TRUE, TRUE, TRUE);
    return IoCallDriver(Extension->LowerDevice, Irp);
}

// The filter becomes pageable on the way down when nothing sits above it or
// the device above is pageable; on the way back it follows the lower device.
static NTSTATUS HandleUsageNotification(PDEVICE_OBJECT DeviceObject, PFILTER_EXTENSION Extension,
                                        PIRP Irp) {
    PDEVICE_OBJECT above = DeviceObject->AttachedDevice;
    if (above == NULL || (above->Flags & DO_POWER_PAGABLE) != 0) {
        DeviceObject->Flags |= DO_POWER_PAGABLE;
    }
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, UsageNotificationCompletion, NULL, TRUE, TRUE, TRUE);
    return IoCallDriver(Extension->LowerDevice, Irp);
}

// Completion of a usage notification: clears the paging flag again when the
// lower device lacks it and releases the remove lock.  Any IRQL up to
// DISPATCH_LEVEL.
NTSTATUS NTAPI UsageNotificationCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(Context);
    PFILTER_EXTENSION extension = (PFILTER_EXTENSION)DeviceObject->DeviceExtension;
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    if ((extension->LowerDevice->Flags & DO_POWER_PAGABLE) == 0) {
        DeviceObject->Flags &= ~DO_POWER_PAGABLE;
    }
    IoReleaseRemoveLock(&extension->RemoveLock, Irp);
    return STATUS_SUCCESS;
}

// The removal of a filter device.  A child filter that saw a removal-relations
// query defers its first remove: the request goes down and the filter stays
// attached, registered and in its state.  Otherwise the filter sends a remove
// to every child it hid, leaves the registries, waits for every request in
// flight, passes the remove down, makes every remaining bus re-enumerate,
// drops its control device reference if it holds one, detaches and is
// deleted.  A remove never fails; the lower driver's result is returned.
// PASSIVE_LEVEL.
static NTSTATUS HandleRemoveDevice(PDEVICE_OBJECT DeviceObject, PFILTER_EXTENSION Extension,
                                   PIRP Irp) {
    if (Extension->RemovalRelationsSeen && Extension->FirstRemovePending) {
        Extension->RemovalRelationsSeen = FALSE;
        Extension->FirstRemovePending = FALSE;
        return PassDown(Extension, Irp, STATUS_SUCCESS);
    }

    // A recorded child that still carries a child filter is left behind by
    // this filter's removal.
    KIRQL oldIrql;
    KeAcquireSpinLock(&DriverState.StateLock, &oldIrql);
    for (ULONG child = 0; child < Extension->ChildCount; child++) {
        for (ULONG pair = 0; pair < DriverState.PairCount; pair++) {
            if (Extension->Children[child].Pdo == DriverState.AttachPairs[pair].AttachedTo) {
                WRITE_SHARED(DriverState.ChildFiltersOrphaned, (BOOLEAN)TRUE);
            }
        }
    }
    KeReleaseSpinLock(&DriverState.StateLock, oldIrql);

    RemoveHiddenChildren(Extension);
    UnregisterFilterDevice(DeviceObject);
    UnregisterAttachPair(DeviceObject);

    IoReleaseRemoveLockAndWait(&Extension->RemoveLock, Irp);

    PDEVICE_OBJECT lower = Extension->LowerDevice;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(Irp);
    NTSTATUS status = IoCallDriver(lower, Irp);

    SetPnpState(Extension, Deleted);

    for (ULONG index = 0; index < DriverState.FilterCount; index++) {
        PFILTER_EXTENSION bus =
            (PFILTER_EXTENSION)DriverState.FilterDevices[index]->DeviceExtension;
        IoInvalidateDeviceRelations(bus->Pdo, BusRelations);
    }

    if (IsBusFilter(Extension) && Extension->HoldsControlReference) {
        Extension->HoldsControlReference = FALSE;
        DeleteControlDevice();
    }

    IoDetachDevice(lower);
    IoDeleteDevice(DeviceObject);
    return status;
}

// Entry of every PnP request to a filter device.  Requests that arrive once
// the removal has begun are completed with the remove lock's status.  The
// control device is no PnP device: a request addressed to it is completed
// with the status it carries.
NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (!IsFilterDevice(DeviceObject)) {
        NTSTATUS status = Irp->IoStatus.Status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }
    PFILTER_EXTENSION extension = (PFILTER_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS status = IoAcquireRemoveLock(&extension->RemoveLock, Irp);
    if (!NT_SUCCESS(status)) {
        Irp->IoStatus.Status = status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }

    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        return HandleStartDevice(DeviceObject, extension, Irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
        return HandleQueryRemove(extension, Irp);
    case IRP_MN_REMOVE_DEVICE:
        return HandleRemoveDevice(DeviceObject, extension, Irp);
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        return HandleCancelRemove(extension, Irp);
    case IRP_MN_STOP_DEVICE:
        return HandleStop(extension, Irp);
    case IRP_MN_QUERY_STOP_DEVICE:
        return HandleQueryStop(extension, Irp);
    case IRP_MN_CANCEL_STOP_DEVICE:
        return HandleCancelStop(extension, Irp);
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        return HandleQueryRelations(extension, Irp);
    case IRP_MN_DEVICE_USAGE_NOTIFICATION:
        return HandleUsageNotification(DeviceObject, extension, Irp);
    case IRP_MN_SURPRISE_REMOVAL:
        return HandleSurpriseRemoval(extension, Irp);
    default:
        return PassDown(extension, Irp, Irp->IoStatus.Status);
    }
}
