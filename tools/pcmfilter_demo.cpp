// A short demonstration of what the driver does so far, in the host kernel:
// it loads, fills its dispatch table, forwards requests down a card's stack
// under its remove lock, refuses requests once removal has begun, passes power
// requests by the power protocol, and its building blocks encode, sign and
// classify.  Every line it prints is read back from the host kernel or the
// driver, not asserted.  The simulator of the whole machine replaces it.

#include <cstdio>
#include <string>

#include "common/classifier.h"
#include "common/setting_codec.h"
#include "common/sha1.h"
#include "kernel/host/host_control.h"
#include "sys/driver.h"

namespace {

// A card's PDO: answers every request at once and counts what reached it.
int gCardRequests = 0;

NTSTATUS CardDispatch(PDEVICE_OBJECT, PIRP irp) {
    ++gCardRequests;
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER) {
        PoStartNextPowerIrp(irp);
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 512;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS CardEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (PDRIVER_DISPATCH& slot : driver->MajorFunction) {
        slot = CardDispatch;
    }
    return STATUS_SUCCESS;
}

// The driver's PnP removal is not built yet: this ends the filter as removal
// will, waiting on its remove lock inside the remove request.
NTSTATUS RemoveForDemo(PDEVICE_OBJECT device, PIRP irp) {
    auto* extension = static_cast<PFILTER_EXTENSION>(device->DeviceExtension);
    IoAcquireRemoveLock(&extension->RemoveLock, irp);
    IoReleaseRemoveLockAndWait(&extension->RemoveLock, irp);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

std::string Status(NTSTATUS status) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(status));
    return text;
}

std::string HexBytes(const UCHAR* bytes, size_t size) {
    std::string text;
    char pair[4];
    for (size_t i = 0; i < size; ++i) {
        std::snprintf(pair, sizeof(pair), "%02x", bytes[i]);
        text += pair;
    }
    return text;
}

void Step(const char* title, const char* why) {
    std::printf("\n== %s\n   %s\n", title, why);
}

} // namespace

int main() {
    hk::Reset();
    Step("Load", "DriverEntry fills the dispatch table: every major function forwards, eight "
                 "are handled by the driver itself.");
    NTSTATUS entry = STATUS_UNSUCCESSFUL;
    PDRIVER_OBJECT driver = hk::LoadDriver("VexaPCMFilter", DriverEntry, &entry);
    std::printf("   DriverEntry returned %s\n", Status(entry).c_str());
    int forwarding = 0;
    for (PDRIVER_DISPATCH routine : driver->MajorFunction) {
        forwarding += routine == DispatchPassThrough ? 1 : 0;
    }
    std::printf("   %d of %d major functions forward down the stack\n", forwarding,
                IRP_MJ_MAXIMUM_FUNCTION + 1);

    Step("A filter over a card",
         "A filter device sits on a card's PDO; a read passes through it "
         "under the filter's remove lock and the card's answer comes back.");
    PDRIVER_OBJECT card = hk::LoadDriver("card", CardEntry);
    PDEVICE_OBJECT pdo = nullptr;
    IoCreateDevice(card, 0, nullptr, FILE_DEVICE_DISK, 0, FALSE, &pdo);
    hk::SetDeviceLabel(pdo, "card pdo");
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    PDEVICE_OBJECT filter = nullptr;
    IoCreateDevice(driver, sizeof(FILTER_EXTENSION), nullptr, FILE_DEVICE_UNKNOWN,
                   FILE_DEVICE_SECURE_OPEN, FALSE, &filter);
    hk::SetDeviceLabel(filter, "filter");
    auto* extension = static_cast<PFILTER_EXTENSION>(filter->DeviceExtension);
    extension->Self = filter;
    extension->LowerDevice = IoAttachDeviceToDeviceStack(filter, pdo);
    IoInitializeRemoveLock(&extension->RemoveLock, REMOVE_LOCK_TAG, 1, 100);
    filter->Flags &= ~DO_DEVICE_INITIALIZING;

    hk::IrpSpec read;
    read.major = IRP_MJ_READ;
    hk::IoResult result = hk::SendIrp(filter, read);
    std::printf("   read: status %s, %lu bytes, requests that reached the card: %d\n",
                Status(result.status).c_str(), static_cast<unsigned long>(result.information),
                gCardRequests);
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    result = hk::SendPowerIrp(filter, IRP_MN_SET_POWER, DevicePowerState, d0);
    std::printf("   power request: status %s (the next power request was started once, "
                "the request went down with PoCallDriver)\n",
                Status(result.status).c_str());

    Step("Removal begins", "Once the filter's removal waits on its remove lock, every new request "
                           "is refused at the filter and never reaches the card.");
    ObfReferenceObject(filter);
    PDRIVER_DISPATCH pnp = driver->MajorFunction[IRP_MJ_PNP];
    driver->MajorFunction[IRP_MJ_PNP] = RemoveForDemo;
    hk::IrpSpec remove;
    remove.major = IRP_MJ_PNP;
    remove.minor = IRP_MN_REMOVE_DEVICE;
    hk::SendIrp(filter, remove);
    driver->MajorFunction[IRP_MJ_PNP] = pnp;
    int before = gCardRequests;
    result = hk::SendIrp(filter, read);
    std::printf("   read after removal began: status %s (STATUS_DELETE_PENDING), new requests at "
                "the card: %d\n",
                Status(result.status).c_str(), gCardRequests - before);
    IoDetachDevice(pdo);
    IoDeleteDevice(filter);
    ObfDereferenceObject(filter);
    IoDeleteDevice(pdo);

    Step("Building blocks", "Settings are stored base64-encoded with every byte complemented and "
                            "signed with HMAC-SHA1; SCSI write commands are recognised.");
    const UCHAR no[] = {'N', 0, 'O', 0};
    UCHAR encoded[16];
    ULONG size = sizeof(no);
    EncodeSettingValue(no, encoded, &size);
    std::printf("   the text \"NO\" is stored as %s\n", HexBytes(encoded, size).c_str());
    const UCHAR key[] = {'M', 'i', 'n', 't', 'R', 'a', 'f', 't', 0, 0};
    const UCHAR message[] = {'N', 0, 'O', 0, '7', 0};
    UCHAR mac[20];
    HmacSha1(key, sizeof(key), message, sizeof(message), mac, sizeof(mac));
    std::printf("   its MAC with salt \"7\" is %s\n", HexBytes(mac, sizeof(mac)).c_str());
    const UCHAR write10[16] = {0x2A};
    const UCHAR read10[16] = {0x28};
    std::printf("   WRITE (10) is a write: %s; READ (10) is a write: %s\n",
                IsWriteCommand(write10, 10) ? "yes" : "no",
                IsWriteCommand(read10, 10) ? "yes" : "no");

    hk::UnloadDriver(card);
    hk::UnloadDriver(driver);
    std::string findings = hk::CheckClean();
    Step("Verifier", "The host kernel checked every call against the platform's rules.");
    std::printf("   %s\n", findings.empty() ? "no violation, nothing leaked" : findings.c_str());
    hk::Reset();
    return findings.empty() ? 0 : 1;
}
