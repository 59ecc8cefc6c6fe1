// Routines whose behaviour is not built yet.  Each fails plainly or forwards
// unchanged, so that nothing here pretends to filter, block or serve requests.

#include "driver.h"

// Bus filters are not created yet: the bus keeps running without the filter.
NTSTATUS NTAPI FilterAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
    UNREFERENCED_PARAMETER(DriverObject);
    UNREFERENCED_PARAMETER(PhysicalDeviceObject);
    PAGED_CODE();
    return STATUS_NOT_IMPLEMENTED;
}

// PnP requests are forwarded unchanged until the filter life cycle exists.
NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return DispatchPassThrough(DeviceObject, Irp);
}

// Writes and SCSI requests are forwarded unchanged until write blocking exists.
NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return DispatchPassThrough(DeviceObject, Irp);
}

NTSTATUS NTAPI DispatchScsi(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return DispatchPassThrough(DeviceObject, Irp);
}

// Filter traffic is forwarded; the control interface is not served yet.
NTSTATUS NTAPI DispatchControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (!IsFilterDevice(DeviceObject)) {
        return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST);
    }
    return DispatchPassThrough(DeviceObject, Irp);
}
