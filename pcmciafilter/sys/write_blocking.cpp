// Write blocking on storage child filters.
//
// A storage child filter sits directly above a storage card's PDO, below the
// drivers loaded for the card.  While read-only protection is active, SCSI
// write-class commands (in an SRB or a pass-through request) are completed as
// successful without reaching the card, and the service's event is signalled;
// plain write requests are refused whenever enforcement is active.  None of
// this happens while enforcement is suspended, or on bus filters and
// non-storage child filters: there the requests go down unchanged.
//
// Requests that are acted on are completed here with IO_NO_INCREMENT, without
// the remove lock: they never reach the lower device.  The SCSI path runs at
// up to DISPATCH_LEVEL in any thread and allocates nothing.

#include "driver.h"

#include "common/classifier.h"
#include "common/classifier_srb.h"

// The two fields of the 32-bit pass-through header (SCSI_PASS_THROUGH and
// SCSI_PASS_THROUGH_DIRECT share the layout) that the classification reads.
#define PASS_THROUGH_HEADER_SIZE sizeof(SCSI_PASS_THROUGH)

// Signals the service's event if one is registered.  Requires StateLock held:
// the event reference is replaced and released under the same lock, so it
// cannot go between the test and the signal.
static VOID SignalNotifyEvent() {
    if (DriverState.NotifyEventHeld) {
        KeSetEvent(DriverState.NotifyEvent, IO_NO_INCREMENT, FALSE);
    }
}

// IRP_MJ_SCSI (IRP_MJ_INTERNAL_DEVICE_CONTROL).  Every SCSI request on every
// filter takes StateLock once for its tests; a write-class command block on a
// storage child filter with read-only protection active and enforcement not
// suspended is swallowed: SrbStatus success, the request completed as
// successful with its transfer length and Information as the sender set
// them, and the event signalled.  Everything else goes down.
NTSTATUS NTAPI DispatchScsi(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (!IsFilterDevice(DeviceObject)) {
        return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST);
    }
    PFILTER_EXTENSION extension = (PFILTER_EXTENSION)DeviceObject->DeviceExtension;
    PSCSI_REQUEST_BLOCK srb = IoGetCurrentIrpStackLocation(Irp)->Parameters.Scsi.Srb;

    KIRQL oldIrql;
    KeAcquireSpinLock(&DriverState.StateLock, &oldIrql);
    if (extension->StorageChild && DriverState.ReadOnlyActive &&
        !DriverState.EnforcementSuspended && srb != NULL && srb->Length != 0 && IsSrbWrite(srb)) {
        srb->SrbStatus = SRB_STATUS_SUCCESS;
        Irp->IoStatus.Status = STATUS_SUCCESS;
        SignalNotifyEvent();
        KeReleaseSpinLock(&DriverState.StateLock, oldIrql);
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }
    KeReleaseSpinLock(&DriverState.StateLock, oldIrql);
    return DispatchPassThrough(DeviceObject, Irp);
}

// IRP_MJ_WRITE.  A storage child filter refuses every plain write while
// enforcement is not suspended, read-only or not; no event is signalled.
NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (!IsFilterDevice(DeviceObject)) {
        return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST);
    }
    PFILTER_EXTENSION extension = (PFILTER_EXTENSION)DeviceObject->DeviceExtension;
    if (extension->StorageChild && !READ_UNLOCKED(DriverState.EnforcementSuspended)) {
        Irp->IoStatus.Status = STATUS_MEDIA_WRITE_PROTECTED;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_MEDIA_WRITE_PROTECTED;
    }
    return DispatchPassThrough(DeviceObject, Irp);
}

// Completes a device-control request at the filter with success and no data.
static NTSTATUS CompleteEmptySuccess(PIRP Irp) {
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

// Create, close, cleanup and device control at a filter device.  On a storage
// child filter with enforcement not suspended: a pass-through request whose
// whole header is present and whose command block is write-class is
// swallowed while read-only protection is active (nothing is copied back); the
// writability query is answered "writable" while read-only protection is
// active, so that the storage stack keeps sending writes for the filter to
// swallow.  Everything else goes down.
NTSTATUS DispatchFilterControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PFILTER_EXTENSION extension = (PFILTER_EXTENSION)DeviceObject->DeviceExtension;
    if (!extension->StorageChild || READ_UNLOCKED(DriverState.EnforcementSuspended)) {
        return DispatchPassThrough(DeviceObject, Irp);
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->MajorFunction != IRP_MJ_DEVICE_CONTROL) {
        return DispatchPassThrough(DeviceObject, Irp);
    }

    KIRQL oldIrql;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_SCSI_PASS_THROUGH:
    case IOCTL_SCSI_PASS_THROUGH_DIRECT: {
        if (stack->Parameters.DeviceIoControl.InputBufferLength < PASS_THROUGH_HEADER_SIZE) {
            return DispatchPassThrough(DeviceObject, Irp);
        }
        const UCHAR* header = (const UCHAR*)Irp->AssociatedIrp.SystemBuffer;
        KeAcquireSpinLock(&DriverState.StateLock, &oldIrql);
        if (IsWriteCommand(header + FIELD_OFFSET(SCSI_PASS_THROUGH, Cdb),
                           header[FIELD_OFFSET(SCSI_PASS_THROUGH, CdbLength)]) &&
            DriverState.ReadOnlyActive) {
            Irp->IoStatus.Information = 0;
            Irp->IoStatus.Status = STATUS_SUCCESS;
            SignalNotifyEvent();
            KeReleaseSpinLock(&DriverState.StateLock, oldIrql);
            IoCompleteRequest(Irp, IO_NO_INCREMENT);
            return STATUS_SUCCESS;
        }
        KeReleaseSpinLock(&DriverState.StateLock, oldIrql);
        return DispatchPassThrough(DeviceObject, Irp);
    }
    case IOCTL_DISK_IS_WRITABLE: {
        KeAcquireSpinLock(&DriverState.StateLock, &oldIrql);
        BOOLEAN readOnly = DriverState.ReadOnlyActive;
        KeReleaseSpinLock(&DriverState.StateLock, oldIrql);
        if (readOnly) {
            return CompleteEmptySuccess(Irp);
        }
        return DispatchPassThrough(DeviceObject, Irp);
    }
    default:
        return DispatchPassThrough(DeviceObject, Irp);
    }
}
