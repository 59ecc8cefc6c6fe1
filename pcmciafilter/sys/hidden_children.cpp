// Removal of hidden children, and the ejection-relations filter.
//
// A child that a filter hid never reaches the PnP manager, so the PnP manager
// never sends it a remove request: the driver sends one itself, straight to
// the child's device object, when the child has vanished from its bus
// (RemoveVanishedChildren, after each relations pass) and when the filter that
// hid it goes away (RemoveHiddenChildren, at the filter's removal).
//
// While children are hidden, ejection lists lose every device object that a
// bus filter has recorded as a child, so that an ejection never drags a
// hidden (or filtered) child into view.

#include "driver.h"

// Sends a remove request to each hidden child of the previous pass that the
// latest pass did not record in the same way.  Records compare whole, byte for
// byte, so a child that was hidden and is now filtered counts as gone too.  A
// non-storage child filter sends none.  Each request completes before the
// next record is looked at.  PASSIVE_LEVEL; called by the pass itself, so no
// other pass changes the records meanwhile.
VOID RemoveVanishedChildren(PFILTER_EXTENSION Extension) {
    for (ULONG previous = 0; previous < Extension->PreviousChildCount; previous++) {
        const CHILD_RECORD* record = &Extension->PreviousChildren[previous];
        BOOLEAN stillThere = FALSE;
        for (ULONG current = 0; current < Extension->ChildCount; current++) {
            // Whole records are compared, device object and flag first: every
            // identity is alike, so those tell most records apart at once.
            const CHILD_RECORD* candidate = &Extension->Children[current];
            if (candidate->Pdo == record->Pdo && candidate->Attached == record->Attached &&
                RtlCompareMemory(record, candidate, sizeof(CHILD_RECORD)) == sizeof(CHILD_RECORD)) {
                stillThere = TRUE;
                break;
            }
        }
        if (!stillThere && !record->Attached && !Extension->OtherChild) {
            SendRemoveDevice(record->Pdo);
        }
    }
}

// Sends a remove request to every hidden child of the filter's latest pass,
// in record order.  Called by the filter's final removal, before the filter
// leaves the registries and passes its own remove down.  PASSIVE_LEVEL.
VOID RemoveHiddenChildren(PFILTER_EXTENSION Extension) {
    for (ULONG index = 0; index < Extension->ChildCount; index++) {
        if (!Extension->Children[index].Attached) {
            SendRemoveDevice(Extension->Children[index].Pdo);
        }
    }
}

// Sends IRP_MN_REMOVE_DEVICE straight to a child's device object (not the
// top of its stack) and waits for it.  The outcome is not examined; without a
// request nothing is sent.  The request is the driver's own and is freed
// here.  PASSIVE_LEVEL.
VOID SendRemoveDevice(PDEVICE_OBJECT Pdo) {
    PIRP irp = IoAllocateIrp((CCHAR)(Pdo->StackSize + 1), FALSE);
    if (irp == NULL) {
        return;
    }
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_PNP;
    stack->MinorFunction = IRP_MN_REMOVE_DEVICE;

    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SyncCompletion, &event, TRUE, TRUE, TRUE);

    if (IoCallDriver(Pdo, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    }
    IoFreeIrp(irp);
}

// Whether some bus filter's latest pass recorded the device object, hidden or
// filtered.  Reads the registry and the records without StateLock: they
// change only on PnP transitions and relations passes.
static BOOLEAN IsRecordedChild(PDEVICE_OBJECT Device) {
    for (ULONG filter = 0; filter < DriverState.FilterCount; filter++) {
        const FILTER_EXTENSION* extension =
            (const FILTER_EXTENSION*)DriverState.FilterDevices[filter]->DeviceExtension;
        for (ULONG index = 0; index < extension->ChildCount; index++) {
            if (extension->Children[index].Pdo == Device) {
                return TRUE;
            }
        }
    }
    return FALSE;
}

// Completion routine of ejection-relations queries, on every kind of filter.
// While children are hidden, takes every recorded child out of the list and
// drops the reference its entry carried; a list that loses nothing goes up as
// the very same list.  Releases the remove lock DispatchPnp took, on every
// path.  Runs at PASSIVE_LEVEL or DISPATCH_LEVEL: it neither waits nor blocks.
NTSTATUS NTAPI EjectionRelationsCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(Context);
    PFILTER_EXTENSION extension = (PFILTER_EXTENSION)DeviceObject->DeviceExtension;

    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    PDEVICE_RELATIONS list = (PDEVICE_RELATIONS)Irp->IoStatus.Information;
    if (!NT_SUCCESS(Irp->IoStatus.Status) || list == NULL) {
        IoReleaseRemoveLock(&extension->RemoveLock, Irp);
        return STATUS_SUCCESS;
    }

    PRELATIONS_WORK_BLOCK work = (PRELATIONS_WORK_BLOCK)ExAllocatePoolWithTag(
        NonPagedPool, sizeof(RELATIONS_WORK_BLOCK), RELATIONS_WORK_TAG);
    if (work == NULL) {
        // The failure goes up, and a failed answer's list is never read by
        // its receiver: release it rather than leak it.
        ReleaseRelationList(list);
        Irp->IoStatus.Information = 0;
        Irp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
        IoReleaseRemoveLock(&extension->RemoveLock, Irp);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(work, sizeof(*work));

    if (READ_UNLOCKED(DriverState.BlockMode) == BlockModeAllBlock &&
        !READ_UNLOCKED(DriverState.EnforcementSuspended)) {
        ULONG count = list->Count;
        for (ULONG index = 0; index < count; index++) {
            work->Entry = list->Objects[index];
            if (IsRecordedChild(work->Entry)) {
                ObDereferenceObject(work->Entry);
            } else {
                list->Objects[work->KeptCount] = work->Entry;
                work->KeptCount++;
            }
        }
        if (work->KeptCount != count) {
            work->ReplacementSize = (ULONG)(FIELD_OFFSET(DEVICE_RELATIONS, Objects) +
                                            work->KeptCount * sizeof(PDEVICE_OBJECT));
            work->Replacement =
                (PDEVICE_RELATIONS)ExAllocatePool(NonPagedPool, work->ReplacementSize);
            if (work->Replacement != NULL) {
                RtlZeroMemory(work->Replacement, work->ReplacementSize);
                work->Replacement->Count = work->KeptCount;
                RtlCopyMemory(work->Replacement->Objects, list->Objects,
                              work->KeptCount * sizeof(PDEVICE_OBJECT));
                Irp->IoStatus.Information = (ULONG_PTR)work->Replacement;
                ExFreePoolWithTag(list, 0);
            } else {
                // The lower driver's list goes up holding exactly the
                // entries kept.
                list->Count = work->KeptCount;
            }
        }
    }

    IoReleaseRemoveLock(&extension->RemoveLock, Irp);
    ExFreePoolWithTag(work, RELATIONS_WORK_TAG);
    return STATUS_SUCCESS;
}
