// Write blocking at storage child filters: every request kind at every kind
// of filter, with read-only protection on and off, enforcement suspended or
// not, against a fake card whose medium changes only when a write reaches it.

#include <cstring>

#include "driver_fixture.h"

namespace {

enum class Kind { Storage, Other, Bus };
enum class Request {
    ScsiWrite10,       // SRB with WRITE (10)
    ScsiRead10,        // SRB with READ (10)
    ScsiWriteNoLength, // SRB with WRITE (10) and Length 0
    ScsiNoSrb,         // no SRB at all
    PlainWrite,        // IRP_MJ_WRITE
    PlainRead,         // IRP_MJ_READ
    PassThroughWrite,  // IOCTL_SCSI_PASS_THROUGH with WRITE (10)
    DirectWrite,       // IOCTL_SCSI_PASS_THROUGH_DIRECT with WRITE (10)
    PassThroughRead,   // IOCTL_SCSI_PASS_THROUGH_DIRECT with READ (10)
    PassThroughShort,  // a WRITE (10) header of 43 bytes
    IsWritable,        // IOCTL_DISK_IS_WRITABLE
    Create,            // IRP_MJ_CREATE
};

const char* Name(Request request) {
    static const char* names[] = {"ScsiWrite10",      "ScsiRead10",  "ScsiWriteNoLength",
                                  "ScsiNoSrb",        "PlainWrite",  "PlainRead",
                                  "PassThroughWrite", "DirectWrite", "PassThroughRead",
                                  "PassThroughShort", "IsWritable",  "Create"};
    return names[static_cast<int>(request)];
}

const char* Name(Kind kind) {
    return kind == Kind::Storage ? "Storage" : kind == Kind::Other ? "Other" : "Bus";
}

// What the card saw.  Its medium changes with every write command or write
// request that reaches it; it answers the writability query as a card with
// its write-protect switch on, so that its answer differs from the filter's.
struct CardLog {
    int requests = 0;
    int mediumWrites = 0;
};

bool CardIsWrite(UCHAR opcode) {
    return opcode == 0x0A || opcode == 0x2A || opcode == 0xAA || opcode == 0x8A || opcode == 0x2E;
}

FakeDriver::Handler Card(CardLog* log) {
    return [log](PDEVICE_OBJECT, PIRP irp) {
        ++log->requests;
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        NTSTATUS status = STATUS_SUCCESS;
        switch (stack->MajorFunction) {
        case IRP_MJ_SCSI: {
            PSCSI_REQUEST_BLOCK srb = stack->Parameters.Scsi.Srb;
            if (srb != nullptr) {
                log->mediumWrites += CardIsWrite(srb->Cdb[0]) ? 1 : 0;
                srb->SrbStatus = SRB_STATUS_SUCCESS;
            }
            break;
        }
        case IRP_MJ_WRITE:
            ++log->mediumWrites;
            break;
        case IRP_MJ_DEVICE_CONTROL: {
            ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
            if (code == IOCTL_DISK_IS_WRITABLE) {
                status = STATUS_MEDIA_WRITE_PROTECTED;
            } else if (code == IOCTL_SCSI_PASS_THROUGH || code == IOCTL_SCSI_PASS_THROUGH_DIRECT) {
                auto* header = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
                log->mediumWrites +=
                    CardIsWrite(header[FIELD_OFFSET(SCSI_PASS_THROUGH, Cdb)]) ? 1 : 0;
            }
            break;
        }
        default:
            break;
        }
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = status == STATUS_SUCCESS ? 5 : 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    };
}

struct Case {
    Request request;
    Kind kind;
    bool readOnly;
    bool suspended;
};

std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
    const Case& c = info.param;
    return std::string(Name(c.request)) + "At" + Name(c.kind) +
           (c.readOnly ? "ReadOnly" : "Writable") + (c.suspended ? "Suspended" : "Enforced");
}

std::vector<Case> AllCases() {
    std::vector<Case> cases;
    for (int r = 0; r <= static_cast<int>(Request::Create); ++r) {
        for (Kind kind : {Kind::Storage, Kind::Other, Kind::Bus}) {
            for (bool readOnly : {false, true}) {
                for (bool suspended : {false, true}) {
                    cases.push_back(Case{static_cast<Request>(r), kind, readOnly, suspended});
                }
            }
        }
    }
    return cases;
}

class WriteBlocking : public DriverTest, public ::testing::WithParamInterface<Case> {};

// The outcome a user of the driver sees, from the contract:
//  - a write-class SRB or pass-through command at a storage child filter with
//    read-only active and enforcement not suspended is swallowed: success,
//    nothing reaches the card, the event is signalled;
//  - a plain write at a storage child filter is refused whenever enforcement
//    is not suspended;
//  - the writability query at a storage child filter with read-only active
//    and enforcement not suspended is answered "writable" by the filter;
//  - everything else reaches the card unchanged.
TEST_P(WriteBlocking, OutcomeMatchesTheContract) {
    const Case& c = GetParam();
    FakeDriver cards("card");
    CardLog log;
    PDEVICE_OBJECT card = cards.CreateDevice("card pdo", Card(&log));
    PDEVICE_OBJECT filter = CreateFilter(card, "child filter");
    Extension(filter)->StorageChild = c.kind == Kind::Storage;
    Extension(filter)->OtherChild = c.kind == Kind::Other;
    DriverState.ReadOnlyActive = c.readOnly;
    DriverState.EnforcementSuspended = c.suspended;

    HANDLE handle = hk::CreateEventHandle(nullptr, NotificationEvent);
    PVOID event = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, *ExEventObjectType, KernelMode, &event,
                                        nullptr),
              STATUS_SUCCESS);
    DriverState.NotifyEvent = static_cast<PKEVENT>(event);
    DriverState.NotifyEventHeld = TRUE;

    SCSI_REQUEST_BLOCK srb{};
    srb.Length = sizeof(SCSI_REQUEST_BLOCK);
    srb.CdbLength = 10;
    srb.DataTransferLength = 4096;
    srb.SrbStatus = SRB_STATUS_PENDING;
    std::vector<UCHAR> header(sizeof(SCSI_PASS_THROUGH), 0);
    header[FIELD_OFFSET(SCSI_PASS_THROUGH, CdbLength)] = 10;
    header[FIELD_OFFSET(SCSI_PASS_THROUGH, Cdb)] = SCSIOP_WRITE;

    hk::IrpSpec spec;
    spec.initialInformation = 99;
    bool storageBlocks = c.kind == Kind::Storage && !c.suspended;
    bool swallowed = false, refused = false, answeredWritable = false;
    switch (c.request) {
    case Request::ScsiWrite10:
    case Request::ScsiRead10:
    case Request::ScsiWriteNoLength:
    case Request::ScsiNoSrb:
        spec.major = IRP_MJ_SCSI;
        srb.Cdb[0] = c.request == Request::ScsiRead10 ? SCSIOP_READ : SCSIOP_WRITE;
        srb.Length = c.request == Request::ScsiWriteNoLength ? 0 : srb.Length;
        spec.parameters = [&srb, &c](PIO_STACK_LOCATION stack) {
            stack->Parameters.Scsi.Srb = c.request == Request::ScsiNoSrb ? nullptr : &srb;
        };
        swallowed = storageBlocks && c.readOnly && (c.request == Request::ScsiWrite10);
        break;
    case Request::PlainWrite:
        spec.major = IRP_MJ_WRITE;
        refused = storageBlocks;
        break;
    case Request::PlainRead:
        spec.major = IRP_MJ_READ;
        break;
    case Request::PassThroughWrite:
    case Request::DirectWrite:
    case Request::PassThroughRead:
    case Request::PassThroughShort: {
        ULONG code = c.request == Request::PassThroughWrite ? IOCTL_SCSI_PASS_THROUGH
                                                            : IOCTL_SCSI_PASS_THROUGH_DIRECT;
        if (c.request == Request::PassThroughRead) {
            header[FIELD_OFFSET(SCSI_PASS_THROUGH, Cdb)] = SCSIOP_READ;
        }
        if (c.request == Request::PassThroughShort) {
            header.resize(sizeof(SCSI_PASS_THROUGH) - 1);
        }
        spec.major = IRP_MJ_DEVICE_CONTROL;
        spec.buffered = true;
        spec.input = header;
        spec.outputLength = sizeof(SCSI_PASS_THROUGH);
        spec.parameters = [code](PIO_STACK_LOCATION stack) {
            stack->Parameters.DeviceIoControl.IoControlCode = code;
        };
        swallowed = storageBlocks && c.readOnly &&
                    (c.request == Request::PassThroughWrite || c.request == Request::DirectWrite);
        break;
    }
    case Request::IsWritable:
        spec.major = IRP_MJ_DEVICE_CONTROL;
        spec.buffered = true;
        spec.input = {0};
        spec.parameters = [](PIO_STACK_LOCATION stack) {
            stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_DISK_IS_WRITABLE;
        };
        answeredWritable = storageBlocks && c.readOnly;
        break;
    case Request::Create:
        spec.major = IRP_MJ_CREATE;
        break;
    }

    hk::IoResult result = hk::SendIrp(filter, spec);
    bool passed = !swallowed && !refused && !answeredWritable;
    EXPECT_EQ(log.requests, passed ? 1 : 0) << "whether the request reached the card";
    EXPECT_EQ(hk::EventSignalCount(event), swallowed ? 1u : 0u);
    bool writeCommand =
        c.request == Request::ScsiWrite10 || c.request == Request::ScsiWriteNoLength ||
        c.request == Request::PlainWrite || c.request == Request::PassThroughWrite ||
        c.request == Request::DirectWrite || c.request == Request::PassThroughShort;
    EXPECT_EQ(log.mediumWrites, passed && writeCommand ? 1 : 0) << "whether the medium changed";
    if (swallowed) {
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        bool scsi = c.request == Request::ScsiWrite10;
        // A swallowed SRB keeps its transfer length and the request its
        // Information, so the sender takes the whole transfer as done; a
        // swallowed pass-through request copies nothing back.
        EXPECT_EQ(result.information, scsi ? 99u : 0u);
        if (scsi) {
            EXPECT_EQ(srb.SrbStatus, SRB_STATUS_SUCCESS);
            EXPECT_EQ(srb.DataTransferLength, 4096u);
        }
    } else if (refused) {
        EXPECT_EQ(result.status, STATUS_MEDIA_WRITE_PROTECTED);
        EXPECT_EQ(result.information, 99u) << "Information is left as it came";
    } else if (answeredWritable) {
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_EQ(result.information, 0u);
    } else if (c.request == Request::IsWritable) {
        EXPECT_EQ(result.status, STATUS_MEDIA_WRITE_PROTECTED) << "the card answered";
    } else {
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_EQ(result.information, 5u) << "the card's answer";
    }

    DriverState.NotifyEventHeld = FALSE;
    ObDereferenceObject(event);
    hk::CloseHandle(nullptr, handle);
    RemoveFilter(filter);
    FakeDriver::DestroyDevice(card);
}

INSTANTIATE_TEST_SUITE_P(, WriteBlocking, ::testing::ValuesIn(AllCases()), CaseName);

// Two swallowed writes signal twice; the driver never resets the event.
TEST_F(DriverTest, EverySwallowedWriteSignalsAgain) {
    FakeDriver cards("card");
    CardLog log;
    PDEVICE_OBJECT card = cards.CreateDevice("card pdo", Card(&log));
    PDEVICE_OBJECT filter = CreateFilter(card, "storage filter");
    Extension(filter)->StorageChild = TRUE;
    DriverState.ReadOnlyActive = TRUE;
    HANDLE handle = hk::CreateEventHandle(nullptr, NotificationEvent);
    PVOID event = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, *ExEventObjectType, KernelMode, &event,
                                        nullptr),
              STATUS_SUCCESS);
    DriverState.NotifyEvent = static_cast<PKEVENT>(event);
    DriverState.NotifyEventHeld = TRUE;
    for (int i = 0; i < 2; ++i) {
        SCSI_REQUEST_BLOCK srb{};
        srb.Length = sizeof(srb);
        srb.CdbLength = 10;
        srb.Cdb[0] = SCSIOP_WRITE;
        hk::IrpSpec spec;
        spec.major = IRP_MJ_SCSI;
        spec.parameters = [&srb](PIO_STACK_LOCATION stack) { stack->Parameters.Scsi.Srb = &srb; };
        // SCSI requests come at up to DISPATCH_LEVEL.
        hk::IrqlScope dispatch(DISPATCH_LEVEL);
        EXPECT_EQ(hk::SendIrp(filter, spec).status, STATUS_SUCCESS);
    }
    EXPECT_EQ(hk::EventSignalCount(event), 2u);
    EXPECT_EQ(KeReadStateEvent(static_cast<PKEVENT>(event)), 1);
    EXPECT_EQ(log.requests, 0);
    DriverState.NotifyEventHeld = FALSE;
    ObDereferenceObject(event);
    hk::CloseHandle(nullptr, handle);
    RemoveFilter(filter);
    FakeDriver::DestroyDevice(card);
}

} // namespace
