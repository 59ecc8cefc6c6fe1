// Fixture for tests of the driver itself: a freshly loaded driver in a clean
// host kernel, with helpers to build filter devices over fake lower drivers.
#pragma once

#include "host_fixture.h"
#include "sys/driver.h"

class DriverTest : public HostKernelTest {
protected:
    void SetUp() override {
        HostKernelTest::SetUp();
        // The driver's state lives in static storage and is zero at every load.
        memset(&DriverState, 0, sizeof(DriverState));
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        driver_ = hk::LoadDriver("VexaPCMFilter", DriverEntry, &status);
        ASSERT_EQ(status, STATUS_SUCCESS);
    }

    void TearDown() override {
        for (PDEVICE_OBJECT device : filters_) {
            if (hk::DeviceExists(device)) {
                RemoveFilter(device);
            }
        }
        hk::UnloadDriver(driver_);
        HostKernelTest::TearDown();
    }

    // A filter device of the driver over `below`, set up as the driver sets up
    // its filters: extension with Self and LowerDevice, remove lock, flags and
    // type taken from the device below.
    PDEVICE_OBJECT CreateFilter(PDEVICE_OBJECT below, const std::string& label) {
        PDEVICE_OBJECT device = nullptr;
        EXPECT_EQ(IoCreateDevice(driver_, sizeof(FILTER_EXTENSION), nullptr, FILE_DEVICE_UNKNOWN,
                                 FILE_DEVICE_SECURE_OPEN, FALSE, &device),
                  STATUS_SUCCESS);
        hk::SetDeviceLabel(device, label);
        PFILTER_EXTENSION extension = Extension(device);
        extension->Self = device;
        extension->LowerDevice = IoAttachDeviceToDeviceStack(device, below);
        EXPECT_NE(extension->LowerDevice, nullptr);
        device->Flags |=
            extension->LowerDevice->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
        device->DeviceType = extension->LowerDevice->DeviceType;
        IoInitializeRemoveLock(&extension->RemoveLock, REMOVE_LOCK_TAG, 1, 100);
        extension->FirstRemovePending = TRUE;
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        filters_.push_back(device);
        return device;
    }

    // Ends a filter as its removal does: waits for every request that holds
    // its remove lock, detaches and deletes it.  The wait must run in the
    // dispatch of a remove request, so the filter's PnP routine is replaced by
    // a small remover for that one request.
    void RemoveFilter(PDEVICE_OBJECT device) {
        PDRIVER_DISPATCH saved = driver_->MajorFunction[IRP_MJ_PNP];
        driver_->MajorFunction[IRP_MJ_PNP] = &DriverTest::Remover;
        hk::IrpSpec spec;
        spec.major = IRP_MJ_PNP;
        spec.minor = IRP_MN_REMOVE_DEVICE;
        spec.initialStatus = STATUS_NOT_SUPPORTED;
        EXPECT_EQ(hk::SendIrp(device, spec).status, STATUS_SUCCESS);
        driver_->MajorFunction[IRP_MJ_PNP] = saved;
    }

    static PFILTER_EXTENSION Extension(PDEVICE_OBJECT device) {
        return static_cast<PFILTER_EXTENSION>(device->DeviceExtension);
    }

    PDRIVER_OBJECT driver_ = nullptr;
    std::vector<PDEVICE_OBJECT> filters_;

private:
    static NTSTATUS Remover(PDEVICE_OBJECT device, PIRP irp) {
        PFILTER_EXTENSION extension = Extension(device);
        EXPECT_EQ(IoAcquireRemoveLock(&extension->RemoveLock, irp), STATUS_SUCCESS);
        IoReleaseRemoveLockAndWait(&extension->RemoveLock, irp);
        PDEVICE_OBJECT lower = extension->LowerDevice;
        IoDetachDevice(lower);
        IoDeleteDevice(device);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }
};
