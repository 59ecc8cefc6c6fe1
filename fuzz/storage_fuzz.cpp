// SRBs and pass-through headers at the driver's filters: any SRB contents,
// any pass-through input length and bytes, plain reads and writes and the
// writability query, at a storage child filter, a non-storage child filter or
// a bus filter, with read-only protection on or off, enforcement suspended or
// not, an event registered or not, at PASSIVE_LEVEL or DISPATCH_LEVEL.  Each
// request must be swallowed exactly when the write-blocking rules say so,
// reach the card otherwise, and signal the event once per swallowed write.

#include <cstring>

#include "common/classifier.h"
#include "fuzz/fuzz_support.h"
#include "include/pcmfilter_ioctl.h"
#include "sys/driver.h"

namespace {

struct Card {
    int requests = 0;
};

enum Op { Srb, NoSrb, PassThrough, PassThroughDirect, IsWritable, PlainWrite, PlainRead, Ops };

NTSTATUS CardDispatch(Card* card, PIRP irp) {
    ++card->requests;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_SCSI && stack->Parameters.Scsi.Srb != nullptr) {
        stack->Parameters.Scsi.Srb->SrbStatus = SRB_STATUS_SUCCESS;
    }
    if (stack->MajorFunction == IRP_MJ_PNP) {
        return fuzz::Complete(irp, stack->MinorFunction == IRP_MN_REMOVE_DEVICE
                                       ? STATUS_SUCCESS
                                       : irp->IoStatus.Status);
    }
    return fuzz::Complete(irp, STATUS_SUCCESS);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input input(data, size);
    PDRIVER_OBJECT driver = fuzz::LoadFilterDriver();
    PDRIVER_OBJECT pcmcia = fuzz::LoadFakeDriver("pcmcia");

    // A bus with a storage card and a network card, a bus filter over the
    // bus and a child filter of each kind over the cards.
    Card bus;
    Card cards[2];
    PDEVICE_OBJECT busPdo = fuzz::CreateFakeDevice(
        pcmcia, "bus pdo", [&bus](PDEVICE_OBJECT, PIRP irp) { return CardDispatch(&bus, irp); });
    PDEVICE_OBJECT pdos[2];
    for (int i = 0; i < 2; ++i) {
        Card* card = &cards[i];
        pdos[i] = fuzz::CreateFakeDevice(
            pcmcia, "card " + std::to_string(i),
            [card](PDEVICE_OBJECT, PIRP irp) { return CardDispatch(card, irp); });
    }
    fuzz::Require(hk::CallAddDevice(driver, busPdo) == STATUS_SUCCESS, "the bus filter is added");
    PDEVICE_OBJECT busFilter = busPdo->AttachedDevice;
    fuzz::Require(CreateChildFilter(busFilter, pdos[0], TRUE) == STATUS_SUCCESS,
                  "the storage child filter is created");
    fuzz::Require(CreateChildFilter(busFilter, pdos[1], FALSE) == STATUS_SUCCESS,
                  "the non-storage child filter is created");
    PDEVICE_OBJECT filters[3] = {pdos[0]->AttachedDevice, pdos[1]->AttachedDevice, busFilter};
    Card* below[3] = {&cards[0], &cards[1], &bus};

    const uint8_t setup = input.U8();
    DriverState.ReadOnlyActive = (setup & 1) != 0;
    DriverState.EnforcementSuspended = (setup & 2) != 0;
    HANDLE event = nullptr;
    PVOID eventObject = nullptr;
    if ((setup & 4) != 0) {
        event = hk::CreateEventHandle(nullptr, NotificationEvent);
        FILTER_EVENT_INPUT registration{0, HandleToULong(event)};
        fuzz::Require(RegisterNotifyEvent(&registration, KernelMode) == STATUS_SUCCESS,
                      "a kernel event handle registers");
        eventObject = hk::ObjectOfHandle(nullptr, event);
    }

    for (int request = 0; request < 16 && !input.Empty(); ++request) {
        const uint8_t selector = input.U8();
        const int target = selector % 3;
        const Op op = static_cast<Op>((selector / 3) % Ops);
        const bool dispatchLevel = (selector & 0x80) != 0;
        PFILTER_EXTENSION extension =
            static_cast<PFILTER_EXTENSION>(filters[target]->DeviceExtension);
        const bool enforced = extension->StorageChild && !DriverState.EnforcementSuspended;
        const bool readOnly = enforced && DriverState.ReadOnlyActive;

        const int before = below[target]->requests;
        const uint64_t signalsBefore = eventObject ? hk::EventSignalCount(eventObject) : 0;
        bool swallow = false;
        bool refuse = false;
        hk::IoResult result;
        SCSI_REQUEST_BLOCK srb;
        if (op == Srb || op == NoSrb) {
            memset(&srb, 0, sizeof(srb));
            std::vector<uint8_t> bytes = input.Bytes(sizeof(srb));
            if (!bytes.empty()) {
                memcpy(&srb, bytes.data(), bytes.size());
            }
            // The class driver's own pointers are not the filter's business.
            srb.DataBuffer = nullptr;
            srb.SenseInfoBuffer = nullptr;
            srb.NextSrb = nullptr;
            srb.OriginalRequest = nullptr;
            srb.SrbExtension = nullptr;
            SCSI_REQUEST_BLOCK copy = srb;
            swallow = op == Srb && readOnly && srb.Length != 0 &&
                      IsWriteCommand(copy.Cdb, copy.CdbLength);
            hk::IrpSpec spec;
            spec.major = IRP_MJ_SCSI;
            PSCSI_REQUEST_BLOCK sent = op == Srb ? &srb : nullptr;
            spec.parameters = [sent](PIO_STACK_LOCATION stack) {
                stack->Parameters.Scsi.Srb = sent;
            };
            if (dispatchLevel) {
                hk::IrqlScope irql(DISPATCH_LEVEL);
                result = hk::SendIrp(filters[target], spec);
            } else {
                result = hk::SendIrp(filters[target], spec);
            }
            if (swallow) {
                fuzz::Require(srb.SrbStatus == SRB_STATUS_SUCCESS, "a swallowed SRB succeeds");
            }
        } else if (op == PassThrough || op == PassThroughDirect || op == IsWritable) {
            const ULONG code = op == PassThrough         ? IOCTL_SCSI_PASS_THROUGH
                               : op == PassThroughDirect ? IOCTL_SCSI_PASS_THROUGH_DIRECT
                                                         : IOCTL_DISK_IS_WRITABLE;
            const uint16_t length = input.U16() % 512;
            std::vector<uint8_t> header = input.Bytes(length);
            header.resize(length, 0);
            if (op == IsWritable) {
                swallow = readOnly;
            } else {
                swallow = readOnly && length >= sizeof(SCSI_PASS_THROUGH) &&
                          IsWriteCommand(header.data() + FIELD_OFFSET(SCSI_PASS_THROUGH, Cdb),
                                         header[FIELD_OFFSET(SCSI_PASS_THROUGH, CdbLength)]);
            }
            hk::IrpSpec spec;
            spec.major = IRP_MJ_DEVICE_CONTROL;
            spec.buffered = true;
            spec.input = header;
            spec.outputLength = input.U16() % 512;
            spec.parameters = [code](PIO_STACK_LOCATION stack) {
                stack->Parameters.DeviceIoControl.IoControlCode = code;
            };
            result = hk::SendIrp(filters[target], spec);
        } else {
            refuse = op == PlainWrite && enforced;
            hk::IrpSpec spec;
            spec.major = op == PlainWrite ? IRP_MJ_WRITE : IRP_MJ_READ;
            result = hk::SendIrp(filters[target], spec);
        }

        const bool reached = below[target]->requests != before;
        const uint64_t signals = eventObject ? hk::EventSignalCount(eventObject) : 0;
        if (swallow) {
            fuzz::Require(!reached && result.status == STATUS_SUCCESS,
                          "a blocked write succeeds without reaching the card");
        } else if (refuse) {
            fuzz::Require(!reached && result.status == STATUS_MEDIA_WRITE_PROTECTED,
                          "a plain write is refused at a storage child filter");
        } else {
            fuzz::Require(reached && result.status == STATUS_SUCCESS,
                          "every other request reaches the card");
        }
        const bool signalled = swallow && op != IsWritable && eventObject != nullptr;
        fuzz::Require(signals == signalsBefore + (signalled ? 1 : 0),
                      "the event is signalled once per swallowed write, and only then");
    }

    if (event != nullptr) {
        hk::CloseHandle(nullptr, event);
    }
    fuzz::RemoveFilterDevices(driver);
    fuzz::DestroyFakeDevice(pdos[0]);
    fuzz::DestroyFakeDevice(pdos[1]);
    fuzz::DestroyFakeDevice(busPdo);
    hk::UnloadDriver(pcmcia);
    hk::UnloadDriver(driver);
    fuzz::RequireCleanAndReset();
    return 0;
}
