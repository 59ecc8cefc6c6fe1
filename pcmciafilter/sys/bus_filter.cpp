// Bus filter creation and the driver's three device registries: the filter
// registry (FilterDevices), the attach-pair registry (AttachPairs) and the
// known-device list (KnownDevices).
//
// Every operation that changes a registry holds StateLock for its whole
// duration and does nothing else under it.  Removal moves the last entry into
// the freed slot, so the order of entries is not kept.  A full registry never
// grows past its array: the operations report that they could not register.

#include "driver.h"

// Creates a bus filter over a PCMCIA bus device, attaches it, loads the
// protected settings and registers it.  Runs in the PnP manager's thread at
// PASSIVE_LEVEL.  A bus filter the registry cannot hold would escape
// re-enumeration and the status baseline, so a full registry fails the
// AddDevice cleanly (nothing stays attached or created).
PCMF_PAGED_CODE NTSTATUS NTAPI FilterAddDevice(PDRIVER_OBJECT DriverObject,
                                               PDEVICE_OBJECT PhysicalDeviceObject) {
    PAGED_CODE();

    // On Windows XP and later the filter starts as an unknown-type device;
    // before that it takes the type of the device it will sit on.
    DEVICE_TYPE deviceType = FILE_DEVICE_UNKNOWN;
    if (!IoIsWdmVersionAvailable(1, 0x20)) {
        PDEVICE_OBJECT top = IoGetAttachedDeviceReference(PhysicalDeviceObject);
        deviceType = top->DeviceType;
        ObDereferenceObject(top);
    }

    PDEVICE_OBJECT device = NULL;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(FILTER_EXTENSION), NULL, deviceType,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    PFILTER_EXTENSION extension = (PFILTER_EXTENSION)device->DeviceExtension;
    extension->LowerDevice = IoAttachDeviceToDeviceStack(device, PhysicalDeviceObject);
    if (extension->LowerDevice == NULL) {
        IoDeleteDevice(device);
        return STATUS_UNSUCCESSFUL;
    }

    device->Flags |=
        extension->LowerDevice->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
    device->DeviceType = extension->LowerDevice->DeviceType;
    device->Characteristics = extension->LowerDevice->Characteristics;

    extension->Self = device;
    extension->OtherChild = FALSE;
    extension->StorageChild = FALSE;
    extension->RemovalRelationsSeen = FALSE;
    extension->FirstRemovePending = TRUE;
    IoInitializeRemoveLock(&extension->RemoveLock, REMOVE_LOCK_TAG, 1, 100);
    extension->PnpState = NotStarted;
    extension->PreviousPnpState = NotStarted;

    device->Flags &= ~DO_DEVICE_INITIALIZING;

    // Every bus filter creation applies the stored settings to the whole driver.
    LoadSettings();

    // The filter is complete before it is registered: a suspend or resume on
    // another thread invalidates the Pdo of every registered bus filter.
    extension->ChildCount = 0;
    extension->PreviousChildCount = 0;
    extension->Pdo = PhysicalDeviceObject;
    if (!RegisterFilterDevice(device)) {
        IoDetachDevice(extension->LowerDevice);
        IoDeleteDevice(device);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    // The known-device list only grows until the next re-baseline.  When it is
    // full the new bus still works; it is just not part of the baseline.
    KIRQL oldIrql;
    KeAcquireSpinLock(&DriverState.StateLock, &oldIrql);
    if (DriverState.KnownCount < KNOWN_DEVICE_CAPACITY) {
        DriverState.KnownDevices[DriverState.KnownCount] = device;
        DriverState.KnownCount++;
    }
    KeReleaseSpinLock(&DriverState.StateLock, oldIrql);

    return STATUS_SUCCESS;
}

// Enters a bus filter in FilterDevices (once).  FALSE when the registry is full.
BOOLEAN RegisterFilterDevice(PDEVICE_OBJECT Device) {
    BOOLEAN registered = TRUE;
    KIRQL oldIrql;
    KeAcquireSpinLock(&DriverState.StateLock, &oldIrql);
    ULONG index;
    for (index = 0; index < DriverState.FilterCount; index++) {
        if (DriverState.FilterDevices[index] == Device) {
            break;
        }
    }
    if (index == DriverState.FilterCount) {
        if (DriverState.FilterCount < FILTER_REGISTRY_CAPACITY) {
            DriverState.FilterDevices[DriverState.FilterCount] = Device;
            DriverState.FilterCount++;
        } else {
            registered = FALSE;
        }
    }
    KeReleaseSpinLock(&DriverState.StateLock, oldIrql);
    return registered;
}

// Removes a bus filter from FilterDevices; the attach pairs are not touched.
VOID UnregisterFilterDevice(PDEVICE_OBJECT Device) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&DriverState.StateLock, &oldIrql);
    for (ULONG index = 0; index < DriverState.FilterCount; index++) {
        if (DriverState.FilterDevices[index] == Device) {
            ULONG last = DriverState.FilterCount - 1;
            if (index != last) {
                DriverState.FilterDevices[index] = DriverState.FilterDevices[last];
            }
            DriverState.FilterDevices[last] = NULL;
            DriverState.FilterCount--;
            break;
        }
    }
    KeReleaseSpinLock(&DriverState.StateLock, oldIrql);
}

// Enters a child filter's attachment.  A pair whose AttachedTo already occurs
// leaves the first pair as it is.  FALSE when the registry is full.
BOOLEAN RegisterAttachPair(PDEVICE_OBJECT Pdo, PDEVICE_OBJECT AttachedTo) {
    BOOLEAN registered = TRUE;
    KIRQL oldIrql;
    KeAcquireSpinLock(&DriverState.StateLock, &oldIrql);
    ULONG index;
    for (index = 0; index < DriverState.PairCount; index++) {
        if (DriverState.AttachPairs[index].AttachedTo == AttachedTo) {
            break;
        }
    }
    if (index == DriverState.PairCount) {
        if (DriverState.PairCount < ATTACH_PAIR_CAPACITY) {
            DriverState.AttachPairs[DriverState.PairCount].Pdo = Pdo;
            DriverState.AttachPairs[DriverState.PairCount].AttachedTo = AttachedTo;
            DriverState.PairCount++;
        } else {
            registered = FALSE;
        }
    }
    KeReleaseSpinLock(&DriverState.StateLock, oldIrql);
    return registered;
}

// Removes the pair whose AttachedTo is the device's LowerDevice.  Called for
// every filter that is removed; for a bus filter it normally finds nothing.
VOID UnregisterAttachPair(PDEVICE_OBJECT Device) {
    PDEVICE_OBJECT attachedTo = ((PFILTER_EXTENSION)Device->DeviceExtension)->LowerDevice;
    KIRQL oldIrql;
    KeAcquireSpinLock(&DriverState.StateLock, &oldIrql);
    for (ULONG index = 0; index < DriverState.PairCount; index++) {
        if (DriverState.AttachPairs[index].AttachedTo == attachedTo) {
            ULONG last = DriverState.PairCount - 1;
            if (index != last) {
                DriverState.AttachPairs[index] = DriverState.AttachPairs[last];
            }
            DriverState.AttachPairs[last].Pdo = NULL;
            DriverState.AttachPairs[last].AttachedTo = NULL;
            DriverState.PairCount--;
            break;
        }
    }
    KeReleaseSpinLock(&DriverState.StateLock, oldIrql);
}

// Whether a child filter exists for the PDO.  Reads without StateLock: the
// pairs change only on PnP transitions, which the PnP manager serialises with
// the relations passes that ask.
BOOLEAN IsPdoFiltered(PDEVICE_OBJECT Pdo) {
    if (Pdo == NULL) {
        return FALSE;
    }
    for (ULONG index = 0; index < DriverState.PairCount; index++) {
        if (DriverState.AttachPairs[index].Pdo == Pdo) {
            return TRUE;
        }
    }
    return FALSE;
}
