#include "fuzz/fuzz_support.h"

#include <algorithm>
#include <cstring>
#include <map>

#include "sys/driver.h"

namespace fuzz {

namespace {

std::map<PDEVICE_OBJECT, Handler>& Handlers() {
    static std::map<PDEVICE_OBJECT, Handler>* handlers = new std::map<PDEVICE_OBJECT, Handler>();
    return *handlers;
}

NTSTATUS FakeDispatch(PDEVICE_OBJECT device, PIRP irp) {
    auto it = Handlers().find(device);
    if (it == Handlers().end()) {
        return Complete(irp, STATUS_NO_SUCH_DEVICE);
    }
    Handler handler = it->second;
    return handler(device, irp);
}

NTSTATUS FakeEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (PDRIVER_DISPATCH& slot : driver->MajorFunction) {
        slot = &FakeDispatch;
    }
    return STATUS_SUCCESS;
}

} // namespace

void Require(bool condition, const std::string& what) {
    if (!condition) {
        fprintf(stderr, "fuzz check failed: %s\n", what.c_str());
        abort();
    }
}

void RequireCleanAndReset() {
    hk::DrainWork();
    std::string findings = hk::CheckClean();
    if (!findings.empty()) {
        fprintf(stderr, "the host kernel is not clean after the input:\n%s\n", findings.c_str());
        abort();
    }
    Require(KeGetCurrentIrql() == PASSIVE_LEVEL, "IRQL back at PASSIVE_LEVEL");
    ForgetFakeDevices();
    hk::Reset();
}

PDRIVER_OBJECT LoadFakeDriver(const std::string& name) {
    return hk::LoadDriver(name, &FakeEntry);
}

PDEVICE_OBJECT CreateFakeDevice(PDRIVER_OBJECT driver, const std::string& label, Handler handler) {
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    Require(status == STATUS_SUCCESS, "a fake device is created");
    hk::SetDeviceLabel(device, label);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    Handlers()[device] = std::move(handler);
    return device;
}

void DestroyFakeDevice(PDEVICE_OBJECT device) {
    PDEVICE_OBJECT lower = hk::LowerOf(device);
    if (lower != nullptr) {
        IoDetachDevice(lower);
    }
    Handlers().erase(device);
    IoDeleteDevice(device);
}

void ForgetFakeDevices() {
    Handlers().clear();
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS CompleteLater(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    IoMarkIrpPending(irp);
    hk::QueueWork([irp, status, information]() { Complete(irp, status, information); });
    return STATUS_PENDING;
}

PDRIVER_OBJECT LoadFilterDriver() {
    memset(&DriverState, 0, sizeof(DriverState));
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    PDRIVER_OBJECT driver = hk::LoadDriver("VexaPCMFilter", DriverEntry, &status);
    Require(status == STATUS_SUCCESS, "DriverEntry succeeds");
    return driver;
}

hk::IrpSpec PnpSpec(UCHAR minor) {
    hk::IrpSpec spec;
    spec.major = IRP_MJ_PNP;
    spec.minor = minor;
    spec.initialStatus = STATUS_NOT_SUPPORTED;
    return spec;
}

PDEVICE_RELATIONS NewRelationList(const std::vector<PDEVICE_OBJECT>& objects) {
    size_t bytes = FIELD_OFFSET(DEVICE_RELATIONS, Objects) +
                   std::max<size_t>(objects.size(), 1) * sizeof(PDEVICE_OBJECT);
    auto* list = static_cast<PDEVICE_RELATIONS>(ExAllocatePool(NonPagedPool, bytes));
    if (list == nullptr) {
        return nullptr;
    }
    list->Count = static_cast<ULONG>(objects.size());
    for (size_t i = 0; i < objects.size(); ++i) {
        ObReferenceObject(objects[i]);
        list->Objects[i] = objects[i];
    }
    return list;
}

PWCHAR NewMultiString(const std::vector<std::u16string>& ids) {
    size_t units = 1;
    for (const std::u16string& id : ids) {
        units += id.size() + 1;
    }
    auto* buffer = static_cast<PWCHAR>(
        ExAllocatePoolWithTag(NonPagedPool, units * sizeof(WCHAR), hk::TagFromText("Card")));
    if (buffer == nullptr) {
        return nullptr;
    }
    PWCHAR next = buffer;
    for (const std::u16string& id : ids) {
        std::copy(id.begin(), id.end(), next);
        next += id.size();
        *next++ = 0;
    }
    *next = 0;
    return buffer;
}

std::vector<PDEVICE_OBJECT> TakeRelationList(ULONG_PTR information) {
    std::vector<PDEVICE_OBJECT> objects;
    if (information == 0) {
        return objects;
    }
    auto* list = reinterpret_cast<PDEVICE_RELATIONS>(information);
    objects.assign(list->Objects, list->Objects + list->Count);
    for (PDEVICE_OBJECT object : objects) {
        ObDereferenceObject(object);
    }
    ExFreePool(list);
    return objects;
}

void RemoveFilterDevices(PDRIVER_OBJECT filterDriver) {
    for (int busPass = 0; busPass < 2; ++busPass) {
        for (int round = 0; round < 2; ++round) {
            std::vector<PDEVICE_OBJECT> targets;
            for (PDEVICE_OBJECT device = filterDriver->DeviceObject; device != nullptr;
                 device = device->NextDevice) {
                if (!hk::DeviceExists(device) || !IsFilterDevice(device)) {
                    continue;
                }
                bool bus = IsBusFilter(static_cast<PFILTER_EXTENSION>(device->DeviceExtension));
                if (bus == (busPass == 1)) {
                    targets.push_back(device);
                }
            }
            for (PDEVICE_OBJECT device : targets) {
                if (hk::DeviceExists(device)) {
                    hk::SendIrp(device, PnpSpec(IRP_MN_REMOVE_DEVICE));
                }
            }
        }
    }
    hk::TakeInvalidations();
}

} // namespace fuzz
