// The control device's lifetime: "\Device\VexaPCMFilter" with the DOS name
// "\DosDevices\VexaFil2", created with the first reference and deleted with the
// last.  One reference is held by each bus filter from its first successful
// start to its removal and one by each open handle, so the device stays while
// any bus is started or the service keeps a handle open.
//
// ControlMutex serialises the count and the device pointer, so that they
// always change together.  The device and its link are created and deleted
// while the mutex is held; those services run at PASSIVE_LEVEL only, so the
// mutex is taken in a critical region (normal kernel APCs off, IRQL left at
// PASSIVE_LEVEL) rather than by raising to APC_LEVEL.

#include "driver.h"

static VOID AcquireControlMutex() {
    KeEnterCriticalRegion();
    ExAcquireFastMutexUnsafe(&DriverState.ControlMutex);
}

static VOID ReleaseControlMutex() {
    ExReleaseFastMutexUnsafe(&DriverState.ControlMutex);
    KeLeaveCriticalRegion();
}

// Takes one reference on the control device and creates it with the first.
// DeviceObject is the bus filter whose start takes the reference; only its
// driver object is used.  Returns STATUS_UNSUCCESSFUL when the reference was
// not the first, or the failure of the device or link creation; in every case
// the reference stays counted.  After a failed creation the driver runs
// without a control device until the count comes back to 0.
PCMF_PAGED_CODE NTSTATUS CreateControlDevice(PDEVICE_OBJECT DeviceObject) {
    PAGED_CODE();

    AcquireControlMutex();
    DriverState.ControlRefCount++;
    if (DriverState.ControlRefCount != 1) {
        ReleaseControlMutex();
        return STATUS_UNSUCCESSFUL;
    }

    UNICODE_STRING deviceName;
    UNICODE_STRING linkName;
    RtlInitUnicodeString(&deviceName, CONTROL_DEVICE_NAME);
    RtlInitUnicodeString(&linkName, CONTROL_LINK_NAME);

    NTSTATUS status = IoCreateDevice(DeviceObject->DriverObject, sizeof(CONTROL_EXTENSION),
                                     &deviceName, FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN,
                                     FALSE, &DriverState.ControlDevice);
    if (!NT_SUCCESS(status)) {
        DriverState.ControlDevice = NULL;
        ReleaseControlMutex();
        return status;
    }
    DriverState.ControlDevice->Flags |= DO_BUFFERED_IO;

    status = IoCreateSymbolicLink(&linkName, &deviceName);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(DriverState.ControlDevice);
        DriverState.ControlDevice = NULL;
        ReleaseControlMutex();
        return status;
    }

    PCONTROL_EXTENSION extension = (PCONTROL_EXTENSION)DriverState.ControlDevice->DeviceExtension;
    extension->ControlData = NULL;
    extension->ControlDeleted = 0;
    DriverState.ControlDevice->Flags &= ~DO_DEVICE_INITIALIZING;

    ReleaseControlMutex();
    return STATUS_SUCCESS;
}

// Drops one reference and deletes the device with the last.  The order is
// fixed: the deleted flag (so that a request already on its way is refused),
// the link, the device, the pointer.
PCMF_PAGED_CODE VOID DeleteControlDevice() {
    PAGED_CODE();

    AcquireControlMutex();
    DriverState.ControlRefCount--;
    if (DriverState.ControlRefCount != 0 || DriverState.ControlDevice == NULL) {
        ReleaseControlMutex();
        return;
    }

    PCONTROL_EXTENSION extension = (PCONTROL_EXTENSION)DriverState.ControlDevice->DeviceExtension;
    extension->ControlDeleted = 1;

    UNICODE_STRING linkName;
    RtlInitUnicodeString(&linkName, CONTROL_LINK_NAME);
    IoDeleteSymbolicLink(&linkName);
    IoDeleteDevice(DriverState.ControlDevice);
    DriverState.ControlDevice = NULL;

    ReleaseControlMutex();
}

// The handle reference of a create request.  The last reference may have gone
// while the request was on its way: the deleted flag is tested again under the
// mutex, and then nothing is counted.
NTSTATUS ReferenceControlHandle(PDEVICE_OBJECT ControlDeviceObject) {
    PCONTROL_EXTENSION extension = (PCONTROL_EXTENSION)ControlDeviceObject->DeviceExtension;
    AcquireControlMutex();
    if (extension->ControlDeleted) {
        ReleaseControlMutex();
        return STATUS_DEVICE_REMOVED;
    }
    DriverState.ControlRefCount++;
    ReleaseControlMutex();
    return STATUS_SUCCESS;
}
