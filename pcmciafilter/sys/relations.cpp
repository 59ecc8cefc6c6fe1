// Relations processing: the fate of every device object that a relation list
// names.  BusRelationsCompletion runs once the driver below has answered a
// relations query (every type but ejection relations); such a run is a pass.
// Under "ALLBLOCK" with enforcement not suspended, a bus filter or non-storage
// child filter records each child as hidden and takes it out of the list, so
// the PnP manager never builds a stack for it.  Otherwise each child stays, is
// asked for its compatible IDs and receives a child filter of the matching
// kind.  A storage child filter passes every list through.
//
// Every device object in a relation list carries a reference that the
// receiver of the list owns.  An entry taken out of a list has its reference
// dropped here; a record keeps the pointer only to compare it and to address
// the later remove request, while the bus driver's own reference keeps the
// device object alive until that request lets it go.
//
// No path hands a hidden entry up: the entries a pass keeps are gathered in
// order at the front of the lower driver's list, so when a pass cannot finish
// (no sub-request, no replacement list) that list goes up with exactly the
// entries kept so far.

#include "driver.h"

// Whether this filter hides the children its lists name: under "ALLBLOCK"
// with enforcement not suspended, every filter but a storage child filter
// does.  Read afresh for every entry, so that a suspend or resume arriving
// during a pass applies to the entries examined after it.
static BOOLEAN HidesChildren(const FILTER_EXTENSION* Extension) {
    return !Extension->StorageChild && READ_UNLOCKED(DriverState.BlockMode) == BlockModeAllBlock &&
           !READ_UNLOCKED(DriverState.EnforcementSuspended);
}

// Every identity carries only the three labels; the rest stays zero.
static VOID BuildIdentity(PCHILD_IDENTITY Identity) {
    RtlZeroMemory(Identity, sizeof(*Identity));
    RtlCopyMemory(Identity->Vid, "VID", sizeof("VID"));
    RtlCopyMemory(Identity->Pid, "PID", sizeof("PID"));
    RtlCopyMemory(Identity->SerialNumber, "S/N", sizeof("S/N"));
}

// A card is a storage card when the first of its compatible IDs is "GenDisk"
// or "GenCdRom", in any case.  Later IDs and longer IDs do not count.
static BOOLEAN IsStorageCard(PCWSTR CompatibleIds) {
    return _wcsicmp(CompatibleIds, WIDE("GenDisk")) == 0 ||
           _wcsicmp(CompatibleIds, WIDE("GenCdRom")) == 0;
}

// Keeps the entry being examined: it goes to the front of the lower list,
// behind the entries kept before it.
static VOID KeepEntry(PDEVICE_RELATIONS List, PRELATIONS_WORK_BLOCK Work) {
    List->Objects[Work->KeptCount] = Work->Entry;
    Work->KeptCount++;
}

// Hides the entry being examined: records it (unless the records are full, in
// which case its later removal cannot be sent) and drops the reference its
// list entry carried.  It is not kept.
static VOID HideEntry(PFILTER_EXTENSION Extension, PRELATIONS_WORK_BLOCK Work) {
    RecordChild(Extension, &Work->Identity, Work->Entry, FALSE);
    ObDereferenceObject(Work->Entry);
}

// Asks the entry for its compatible IDs on the sub-request and frees both the
// ID buffer and the sub-request.  TRUE when the first ID names a storage card;
// a failed query or one without a buffer gives FALSE.  PASSIVE_LEVEL.
static BOOLEAN QueryStorageVerdict(PRELATIONS_WORK_BLOCK Work) {
    BOOLEAN storage = FALSE;
    NTSTATUS status = SendQueryId(Work->Entry, Work->SubRequest, BusQueryCompatibleIDs);
    PWCHAR ids = (PWCHAR)Work->SubRequest->IoStatus.Information;
    if (NT_SUCCESS(status) && ids != NULL) {
        storage = IsStorageCard(ids);
        ExFreePoolWithTag(ids, 0);
    }
    IoFreeIrp(Work->SubRequest);
    Work->SubRequest = NULL;
    return storage;
}

// Completion routine of every relations query except ejection relations.
// Runs at PASSIVE_LEVEL (the PnP protocol has the driver below complete
// relations queries there), because the pass waits for identity queries and
// remove requests and creates devices.  Releases the remove lock DispatchPnp
// took, on every path.  The request goes on up with the list of the pass in
// IoStatus.Information; the lower driver's list is freed when replaced.
NTSTATUS NTAPI BusRelationsCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
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

    // A target-relation answer names the device at the bottom of this
    // filter's own stack (for a bus filter, the controller itself).  Hiding
    // it would have the bus filter send a remove request to its own
    // controller later, so while children are hidden such answers go up
    // unchanged and leave the records alone.
    if (IoGetCurrentIrpStackLocation(Irp)->Parameters.QueryDeviceRelations.Type ==
            TargetDeviceRelation &&
        HidesChildren(extension)) {
        IoReleaseRemoveLock(&extension->RemoveLock, Irp);
        return STATUS_SUCCESS;
    }

    PRELATIONS_WORK_BLOCK work = (PRELATIONS_WORK_BLOCK)ExAllocatePoolWithTag(
        NonPagedPool, sizeof(RELATIONS_WORK_BLOCK), RELATIONS_WORK_TAG);
    if (work == NULL) {
        // The failure goes up, and a failed answer's list is never read by
        // its receiver: release it here rather than leak it with the
        // references of its entries (hidden children included).
        ReleaseRelationList(list);
        Irp->IoStatus.Information = 0;
        Irp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
        IoReleaseRemoveLock(&extension->RemoveLock, Irp);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(work, sizeof(*work));

    // The records of the latest pass become the previous ones; the lock is
    // released between the move and the clearing.
    KIRQL oldIrql;
    KeAcquireSpinLock(&DriverState.StateLock, &oldIrql);
    RtlCopyMemory(extension->PreviousChildren, extension->Children,
                  extension->ChildCount * sizeof(CHILD_RECORD));
    extension->PreviousChildCount = extension->ChildCount;
    KeReleaseSpinLock(&DriverState.StateLock, oldIrql);
    ClearChildren(extension);

    // Once a sub-request cannot be had the pass stops examining: the entries
    // from that one on get no query and no child filter, but each is still
    // hidden or kept as the mode says.
    BOOLEAN stopped = FALSE;
    ULONG count = list->Count;
    for (ULONG index = 0; index < count; index++) {
        work->Entry = list->Objects[index];
        if (extension->StorageChild) {
            KeepEntry(list, work);
            continue;
        }
        BuildIdentity(&work->Identity);
        if (HidesChildren(extension)) {
            HideEntry(extension, work);
            continue;
        }
        if (!stopped) {
            work->SubRequest = IoAllocateIrp((CCHAR)(work->Entry->StackSize + 1), FALSE);
            stopped = work->SubRequest == NULL;
        }
        if (stopped) {
            KeepEntry(list, work);
            continue;
        }
        BOOLEAN storage = QueryStorageVerdict(work);
        KeepEntry(list, work);
        if (NT_SUCCESS(CreateChildFilter(DeviceObject, work->Entry, storage))) {
            RecordChild(extension, &work->Identity, work->Entry, TRUE);
        }
    }

    if (!stopped) {
        RemoveVanishedChildren(extension);

        work->ReplacementSize = (ULONG)(FIELD_OFFSET(DEVICE_RELATIONS, Objects) +
                                        work->KeptCount * sizeof(PDEVICE_OBJECT));
        work->Replacement = (PDEVICE_RELATIONS)ExAllocatePool(NonPagedPool, work->ReplacementSize);
        if (work->Replacement != NULL) {
            RtlZeroMemory(work->Replacement, work->ReplacementSize);
            work->Replacement->Count = work->KeptCount;
            RtlCopyMemory(work->Replacement->Objects, list->Objects,
                          work->KeptCount * sizeof(PDEVICE_OBJECT));
            Irp->IoStatus.Information = (ULONG_PTR)work->Replacement;
            ExFreePoolWithTag(list, 0);
            list = NULL;
        }
    }
    // Without a replacement the lower driver's list goes up, holding exactly
    // the entries kept.
    if (list != NULL) {
        list->Count = work->KeptCount;
    }

    IoReleaseRemoveLock(&extension->RemoveLock, Irp);
    ExFreePoolWithTag(work, RELATIONS_WORK_TAG);
    return STATUS_SUCCESS;
}

// Sends IRP_MN_QUERY_ID of the given type on a request the caller allocated
// (one stack location more than Target's) straight to Target, and waits for
// it.  The request stays with the caller, who reads the ID buffer from
// IoStatus.Information, frees it and frees the request.  PASSIVE_LEVEL.
NTSTATUS SendQueryId(PDEVICE_OBJECT Target, PIRP Irp, BUS_QUERY_ID_TYPE IdType) {
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(Irp);
    stack->MajorFunction = IRP_MJ_PNP;
    stack->MinorFunction = IRP_MN_QUERY_ID;
    stack->Parameters.QueryId.IdType = IdType;

    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoSetCompletionRoutine(Irp, SyncCompletion, &event, TRUE, TRUE, TRUE);
    Irp->IoStatus.Status = STATUS_NOT_SUPPORTED;

    NTSTATUS status = IoCallDriver(Target, Irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        status = Irp->IoStatus.Status;
    }
    return status;
}

// Creates a child filter of the driver of Parent over Child, storage or
// non-storage as the verdict says, and registers its attachment.  Refuses a
// child that already has one.  A child filter the attach-pair registry cannot
// hold is taken down again, so that no unregistered child filter exists.
// PASSIVE_LEVEL.
NTSTATUS CreateChildFilter(PDEVICE_OBJECT Parent, PDEVICE_OBJECT Child, BOOLEAN Storage) {
    if (IsPdoFiltered(Child)) {
        return STATUS_UNSUCCESSFUL;
    }

    PDEVICE_OBJECT device = NULL;
    NTSTATUS status = IoCreateDevice(Parent->DriverObject, sizeof(FILTER_EXTENSION), NULL,
                                     FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(device, Child);
    if (lower == NULL) {
        IoDeleteDevice(device);
        return STATUS_UNSUCCESSFUL;
    }

    PFILTER_EXTENSION extension = (PFILTER_EXTENSION)device->DeviceExtension;
    extension->LowerDevice = lower;
    device->Flags |= lower->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
    device->DeviceType = lower->DeviceType;
    device->Characteristics = lower->Characteristics;
    extension->Self = device;
    IoInitializeRemoveLock(&extension->RemoveLock, REMOVE_LOCK_TAG, 1, 100);
    extension->PnpState = NotStarted;
    extension->PreviousPnpState = NotStarted;
    extension->ChildCount = 0;
    extension->PreviousChildCount = 0;
    extension->RemovalRelationsSeen = FALSE;
    extension->FirstRemovePending = TRUE;
    extension->StorageChild = Storage ? TRUE : FALSE;
    extension->OtherChild = Storage ? FALSE : TRUE;

    // Registered before it can receive requests: a filter that must be taken
    // down again has never been used.
    if (!RegisterAttachPair(Child, lower)) {
        IoDetachDevice(lower);
        IoDeleteDevice(device);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return status;
}

// Appends a record to Children under StateLock.  FALSE, with nothing changed,
// when a record with the same identity fields and Pdo exists (Attached takes
// no part) or when the records are full.
BOOLEAN RecordChild(PFILTER_EXTENSION Extension, const CHILD_IDENTITY* Identity, PDEVICE_OBJECT Pdo,
                    BOOLEAN Attached) {
    BOOLEAN recorded = FALSE;
    KIRQL oldIrql;
    KeAcquireSpinLock(&DriverState.StateLock, &oldIrql);
    ULONG index;
    for (index = 0; index < Extension->ChildCount; index++) {
        const CHILD_RECORD* record = &Extension->Children[index];
        // The device object first: it is what tells records apart, so most
        // records are passed over without comparing their identities.
        if (record->Pdo == Pdo &&
            RtlCompareMemory(record->Identity.Vid, Identity->Vid, sizeof(Identity->Vid)) ==
                sizeof(Identity->Vid) &&
            RtlCompareMemory(record->Identity.Pid, Identity->Pid, sizeof(Identity->Pid)) ==
                sizeof(Identity->Pid) &&
            RtlCompareMemory(record->Identity.SerialNumber, Identity->SerialNumber,
                             sizeof(Identity->SerialNumber)) == sizeof(Identity->SerialNumber)) {
            break;
        }
    }
    if (index == Extension->ChildCount && Extension->ChildCount < CHILD_LIST_CAPACITY) {
        PCHILD_RECORD record = &Extension->Children[Extension->ChildCount];
        RtlCopyMemory(&record->Identity, Identity, sizeof(*Identity));
        record->Attached = Attached;
        record->Pdo = Pdo;
        Extension->ChildCount++;
        recorded = TRUE;
    }
    KeReleaseSpinLock(&DriverState.StateLock, oldIrql);
    return recorded;
}

// Empties Children under StateLock; every record returns to zero, so that
// records written later compare byte for byte.
VOID ClearChildren(PFILTER_EXTENSION Extension) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&DriverState.StateLock, &oldIrql);
    RtlZeroMemory(Extension->Children, sizeof(Extension->Children));
    Extension->ChildCount = 0;
    KeReleaseSpinLock(&DriverState.StateLock, oldIrql);
}

VOID ReleaseRelationList(PDEVICE_RELATIONS List) {
    for (ULONG index = 0; index < List->Count; index++) {
        ObDereferenceObject(List->Objects[index]);
    }
    ExFreePoolWithTag(List, 0);
}
