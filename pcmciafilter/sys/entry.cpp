// Driver entry, dispatch routing, and the forwarding machinery every other part
// uses: passing a request down under the filter's remove lock, passing power
// requests by the power protocol, and waiting for a request sent down.

#include "driver.h"

DRIVER_STATE DriverState;

// Fills the dispatch table: every major function forwards by default, then the
// few the driver handles itself are overwritten.  Runs once, at PASSIVE_LEVEL;
// the registry path is not used (the driver's settings live under a fixed key).
extern "C" PCMF_INIT_CODE NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject,
                                                     PUNICODE_STRING RegistryPath) {
    UNREFERENCED_PARAMETER(RegistryPath);

    for (ULONG major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; major++) {
        DriverObject->MajorFunction[major] = DispatchPassThrough;
    }
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = DispatchWrite;
    DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchScsi;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchControl;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchControl;
    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchControl;

    DriverObject->DriverExtension->AddDevice = FilterAddDevice;
    DriverObject->DriverUnload = DriverUnload;

    ExInitializeFastMutex(&DriverState.ControlMutex);
    return STATUS_SUCCESS;
}

// Every device object is gone by the time the kernel unloads the driver: PnP
// removal deletes the filters and the last reference deletes the control
// device.  What remains is the service's event, if it is still registered:
// its reference is released here.  Nothing else runs any more.
PCMF_PAGED_CODE VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject) {
    UNREFERENCED_PARAMETER(DriverObject);
    PAGED_CODE();
    if (DriverState.NotifyEventHeld) {
        ObDereferenceObject(DriverState.NotifyEvent);
        DriverState.NotifyEvent = NULL;
        DriverState.NotifyEventHeld = FALSE;
    }
}

NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status) {
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

// Hands a request to the next lower driver under the filter's remove lock and
// returns what that driver returned.  A request that arrives once removal has
// begun is completed here with the lock's status and never goes down.
// Requests addressed to the control device are not filter traffic: it has no
// lower device, and other major functions are refused there.
NTSTATUS NTAPI DispatchPassThrough(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (!IsFilterDevice(DeviceObject)) {
        return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST);
    }
    PFILTER_EXTENSION extension = (PFILTER_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS status = IoAcquireRemoveLock(&extension->RemoveLock, Irp);
    if (!NT_SUCCESS(status)) {
        Irp->IoStatus.Status = status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }
    IoSkipCurrentIrpStackLocation(Irp);
    status = IoCallDriver(extension->LowerDevice, Irp);
    IoReleaseRemoveLock(&extension->RemoveLock, Irp);
    return status;
}

// Passes a power request down by the power protocol: the next power request
// may start at once, and the request goes down with PoCallDriver.  Can run at
// DISPATCH_LEVEL.
NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (!IsFilterDevice(DeviceObject)) {
        PoStartNextPowerIrp(Irp);
        return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST);
    }
    PFILTER_EXTENSION extension = (PFILTER_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS status = IoAcquireRemoveLock(&extension->RemoveLock, Irp);
    if (!NT_SUCCESS(status)) {
        Irp->IoStatus.Status = status;
        PoStartNextPowerIrp(Irp);
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    status = PoCallDriver(extension->LowerDevice, Irp);
    IoReleaseRemoveLock(&extension->RemoveLock, Irp);
    return status;
}

// Completion routine of every request the driver sends down and waits for.
// Context is the sender's event, signalled only when the lower driver pended
// (a synchronous answer needs no wake-up).  The request stays with its sender,
// which reads the status and completes or frees it.
NTSTATUS NTAPI SyncCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    if (Irp->PendingReturned) {
        KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}
