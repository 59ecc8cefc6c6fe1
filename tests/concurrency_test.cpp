// The driver under concurrency, as the platform runs it: storage class
// drivers send SCSI requests at DISPATCH_LEVEL from several threads while the
// service registers and clears its event, suspends and resumes enforcement
// and stores settings, and the PnP manager's thread adds buses (each one
// loading the settings), runs relations and ejection passes and removes
// buses.  Run under ThreadSanitizer (the "tsan" preset) this shows every
// unsynchronised access; in every build it shows that nothing is lost,
// counted twice or leaked.

#include <atomic>
#include <cstring>
#include <thread>

#include "driver_fixture.h"
#include "include/pcmfilter_ioctl.h"

namespace {

constexpr int kCards = 4;
constexpr int kExtraBuses = 12;

// A card whose medium counts the writes that reach it.
struct Card {
    PDEVICE_OBJECT pdo = nullptr;
    std::atomic<int> writes{0};
    std::atomic<int> reads{0};
    std::atomic<int> passThroughs{0}; // pass-through requests that reached it
};

class ConcurrencyTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        bus_ = std::make_unique<FakeDriver>("pcmcia");
        fdo_ = bus_->CreateDevice("bus fdo", [this](PDEVICE_OBJECT, PIRP irp) { return Bus(irp); });
        for (Card& card : cards_) {
            Card* raw = &card;
            card.pdo = bus_->CreateDevice(
                "card", [raw](PDEVICE_OBJECT, PIRP irp) { return CardRequest(raw, irp); });
            listed_.push_back(card.pdo);
        }
        // Buses the PnP thread brings in later; made now, so that no fake
        // device is created while requests are in flight.
        for (PDEVICE_OBJECT& extra : extraBuses_) {
            extra = bus_->CreateDevice("extra bus",
                                       [](PDEVICE_OBJECT, PIRP irp) { return EmptyBus(irp); });
        }
        ASSERT_EQ(hk::CallAddDevice(driver_, fdo_), STATUS_SUCCESS);
        busFilter_ = fdo_->AttachedDevice;
        ASSERT_EQ(hk::SendIrp(busFilter_, Pnp(IRP_MN_START_DEVICE)).status, STATUS_SUCCESS);
        QueryRelations(busFilter_, BusRelations);
        for (Card& card : cards_) {
            ASSERT_NE(card.pdo->AttachedDevice, nullptr) << "every card has a child filter";
        }
        service_ = hk::CreateProcess("service", hk::Identity::Administrator);
        hk::ProcessScope scope(service_);
        hk::OpenResult open = hk::OpenDevice(u"\\DosDevices\\VexaFil2");
        ASSERT_EQ(open.status, STATUS_SUCCESS);
        file_ = open.file;
    }

    void TearDown() override {
        {
            hk::ProcessScope scope(service_);
            EXPECT_EQ(hk::CloseFile(file_), STATUS_SUCCESS);
        }
        hk::DestroyProcess(service_);
        for (Card& card : cards_) {
            if (card.pdo->AttachedDevice != nullptr) {
                EXPECT_EQ(hk::SendIrp(card.pdo->AttachedDevice, Pnp(IRP_MN_REMOVE_DEVICE)).status,
                          STATUS_SUCCESS);
            }
        }
        EXPECT_EQ(hk::SendIrp(busFilter_, Pnp(IRP_MN_REMOVE_DEVICE)).status, STATUS_SUCCESS);
        hk::TakeInvalidations();
        for (Card& card : cards_) {
            FakeDriver::DestroyDevice(card.pdo);
        }
        for (PDEVICE_OBJECT extra : extraBuses_) {
            FakeDriver::DestroyDevice(extra);
        }
        FakeDriver::DestroyDevice(fdo_);
        bus_.reset();
        DriverTest::TearDown();
    }

    static hk::IrpSpec Pnp(UCHAR minor) {
        hk::IrpSpec spec;
        spec.major = IRP_MJ_PNP;
        spec.minor = minor;
        spec.initialStatus = STATUS_NOT_SUPPORTED;
        return spec;
    }

    // A relations query as the PnP manager sends it; the answer is taken as
    // the PnP manager takes it.
    static void QueryRelations(PDEVICE_OBJECT filter, DEVICE_RELATION_TYPE type) {
        hk::IrpSpec spec = Pnp(IRP_MN_QUERY_DEVICE_RELATIONS);
        spec.parameters = [type](PIO_STACK_LOCATION stack) {
            stack->Parameters.QueryDeviceRelations.Type = type;
        };
        hk::IoResult result = hk::SendIrp(filter, spec);
        if (NT_SUCCESS(result.status) && result.information != 0) {
            auto* list = reinterpret_cast<PDEVICE_RELATIONS>(result.information);
            for (ULONG i = 0; i < list->Count; ++i) {
                ObDereferenceObject(list->Objects[i]);
            }
            ExFreePool(list);
        }
    }

    hk::IoResult Control(ULONG code, const std::vector<UCHAR>& input = {}, ULONG output = 0) {
        hk::ProcessScope scope(service_);
        return hk::DeviceControl(file_, code, input, output);
    }

    // A SCSI request from a storage class driver, at DISPATCH_LEVEL: answered
    // with success, at the card or by the filter.
    static void Scsi(Card& card, UCHAR opcode) {
        SCSI_REQUEST_BLOCK srb;
        memset(&srb, 0, sizeof(srb));
        srb.Length = sizeof(srb);
        srb.CdbLength = 10;
        srb.Cdb[0] = opcode;
        hk::IrpSpec spec;
        spec.major = IRP_MJ_SCSI;
        spec.parameters = [&srb](PIO_STACK_LOCATION stack) { stack->Parameters.Scsi.Srb = &srb; };
        hk::IrqlScope irql(DISPATCH_LEVEL);
        hk::IoResult result = hk::SendIrp(card.pdo->AttachedDevice, spec);
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_EQ(srb.SrbStatus, SRB_STATUS_SUCCESS);
    }

    NTSTATUS Bus(PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        if (stack->MajorFunction == IRP_MJ_PNP &&
            stack->MinorFunction == IRP_MN_QUERY_DEVICE_RELATIONS) {
            if (stack->Parameters.QueryDeviceRelations.Type != BusRelations &&
                stack->Parameters.QueryDeviceRelations.Type != EjectionRelations) {
                return fake::CompleteWith(irp->IoStatus.Status)(nullptr, irp);
            }
            auto* list = static_cast<PDEVICE_RELATIONS>(
                ExAllocatePool(NonPagedPool, FIELD_OFFSET(DEVICE_RELATIONS, Objects) +
                                                 listed_.size() * sizeof(PDEVICE_OBJECT)));
            list->Count = static_cast<ULONG>(listed_.size());
            for (size_t i = 0; i < listed_.size(); ++i) {
                ObReferenceObject(listed_[i]);
                list->Objects[i] = listed_[i];
            }
            return fake::CompleteWith(STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(list))(nullptr,
                                                                                         irp);
        }
        return EmptyBus(irp);
    }

    static NTSTATUS EmptyBus(PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        NTSTATUS status = STATUS_SUCCESS;
        if (stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction != IRP_MN_START_DEVICE &&
            stack->MinorFunction != IRP_MN_REMOVE_DEVICE) {
            status = irp->IoStatus.Status;
        }
        return fake::CompleteWith(status)(nullptr, irp);
    }

    static NTSTATUS CardRequest(Card* card, PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        if (stack->MajorFunction == IRP_MJ_SCSI) {
            PSCSI_REQUEST_BLOCK srb = stack->Parameters.Scsi.Srb;
            (srb->Cdb[0] == 0x2A ? card->writes : card->reads)++;
            srb->SrbStatus = SRB_STATUS_SUCCESS;
            return fake::CompleteWith(STATUS_SUCCESS)(nullptr, irp);
        }
        if (stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_QUERY_ID &&
            stack->Parameters.QueryId.IdType == BusQueryCompatibleIDs) {
            static const char16_t kIds[] = u"GenDisk\0";
            auto* ids = static_cast<PWCHAR>(
                ExAllocatePoolWithTag(NonPagedPool, sizeof(kIds), hk::TagFromText("Card")));
            memcpy(ids, kIds, sizeof(kIds));
            return fake::CompleteWith(STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(ids))(nullptr,
                                                                                        irp);
        }
        if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
            card->passThroughs++;
        }
        NTSTATUS status = STATUS_SUCCESS;
        if (stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction != IRP_MN_REMOVE_DEVICE) {
            status = irp->IoStatus.Status;
        }
        return fake::CompleteWith(status)(nullptr, irp);
    }

    std::unique_ptr<FakeDriver> bus_;
    PDEVICE_OBJECT fdo_ = nullptr;
    PDEVICE_OBJECT busFilter_ = nullptr;
    Card cards_[kCards];
    std::vector<PDEVICE_OBJECT> listed_;
    PDEVICE_OBJECT extraBuses_[kExtraBuses] = {};
    hk::Process* service_ = nullptr;
    PFILE_OBJECT file_ = nullptr;
};

// SCSI requests at DISPATCH_LEVEL from three threads and plain and
// pass-through writes from a fourth, while the service registers and clears
// events, suspends and resumes and stores settings, and
// the PnP thread adds buses (loading the settings), runs relations and
// ejection passes and removes buses again.  Every SCSI request is answered
// once, either at the card or swallowed, each swallowed write signals at most
// one event, and the machine is clean at the end.
TEST_F(ConcurrencyTest, ScsiAgainstServiceAndPnp) {
    // Read-only protection stored and loaded, and an event registered, so that
    // writes start out swallowed.
    ASSERT_EQ(Control(IOCTL_PCMCIA_FILTER_SET_READONLY).status, STATUS_SUCCESS);
    LoadSettings();
    ASSERT_TRUE(DriverState.ReadOnlyActive);

    std::atomic<bool> done{false};
    std::atomic<int> writesSent{0};
    std::atomic<int> readsSent{0};
    std::vector<HANDLE> events;

    std::vector<std::thread> storage;
    for (int t = 0; t < 3; ++t) {
        storage.emplace_back([this, t, &done, &writesSent, &readsSent]() {
            for (int i = 0; i < 400 || !done.load(); ++i) {
                Card& card = cards_[(t + i) % kCards];
                bool write = i % 3 != 0;
                Scsi(card, write ? 0x2A : 0x28);
                (write ? writesSent : readsSent)++;
            }
        });
    }

    // A fourth storage driver at PASSIVE_LEVEL: plain writes and
    // pass-through writes.
    std::atomic<int> passThroughsSent{0};
    storage.emplace_back([this, &done, &passThroughsSent]() {
        for (int i = 0; i < 200 || !done.load(); ++i) {
            Card& card = cards_[i % kCards];
            hk::IrpSpec write;
            write.major = IRP_MJ_WRITE;
            NTSTATUS status = hk::SendIrp(card.pdo->AttachedDevice, write).status;
            EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_MEDIA_WRITE_PROTECTED);
            std::vector<UCHAR> header(sizeof(SCSI_PASS_THROUGH), 0);
            header[FIELD_OFFSET(SCSI_PASS_THROUGH, CdbLength)] = 10;
            header[FIELD_OFFSET(SCSI_PASS_THROUGH, Cdb)] = 0x2A;
            hk::IrpSpec passThrough;
            passThrough.major = IRP_MJ_DEVICE_CONTROL;
            passThrough.buffered = true;
            passThrough.input = header;
            passThrough.parameters = [](PIO_STACK_LOCATION stack) {
                stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_SCSI_PASS_THROUGH;
            };
            EXPECT_EQ(hk::SendIrp(card.pdo->AttachedDevice, passThrough).status, STATUS_SUCCESS);
            passThroughsSent++;
        }
    });

    std::thread service([this, &events]() {
        hk::ProcessScope scope(service_);
        for (int i = 0; i < 60; ++i) {
            HANDLE event = hk::CreateEventHandle(service_, NotificationEvent);
            events.push_back(event);
            FILTER_EVENT_INPUT input{0, HandleToULong(event)};
            std::vector<UCHAR> bytes(sizeof(input));
            memcpy(bytes.data(), &input, sizeof(input));
            EXPECT_EQ(hk::DeviceControl(file_, IOCTL_PCMCIA_FILTER_SET_EVENT, bytes, 0).status,
                      STATUS_SUCCESS);
            EXPECT_EQ(hk::DeviceControl(file_, IOCTL_PCMCIA_FILTER_SUSPEND, {}, 0).status,
                      STATUS_SUCCESS);
            EXPECT_EQ(hk::DeviceControl(file_, IOCTL_PCMCIA_FILTER_RESUME, {}, 0).status,
                      STATUS_SUCCESS);
            ULONG code =
                i % 2 == 0 ? IOCTL_PCMCIA_FILTER_CLEAR_READONLY : IOCTL_PCMCIA_FILTER_SET_READONLY;
            EXPECT_EQ(hk::DeviceControl(file_, code, {}, 0).status, STATUS_SUCCESS);
            // The block mode alternates, so that the buses the PnP thread
            // adds load "ALLBLOCK" or "OFF" and its passes hide or keep.
            code = i % 4 < 2 ? IOCTL_PCMCIA_FILTER_SET_ALLBLOCK : IOCTL_PCMCIA_FILTER_SET_OFF;
            EXPECT_EQ(hk::DeviceControl(file_, code, {}, 0).status, STATUS_SUCCESS);
            EXPECT_EQ(hk::DeviceControl(file_, IOCTL_PCMCIA_FILTER_GET_STATUS, {}, 8).status,
                      STATUS_SUCCESS);
            if (i % 5 == 4) {
                EXPECT_EQ(hk::DeviceControl(file_, IOCTL_PCMCIA_FILTER_CLEAR_EVENT, {}, 0).status,
                          STATUS_SUCCESS);
            }
        }
    });

    std::thread pnp([this]() {
        for (PDEVICE_OBJECT extra : extraBuses_) {
            // A new bus: its filter's creation loads the settings.
            EXPECT_EQ(hk::CallAddDevice(driver_, extra), STATUS_SUCCESS);
            PDEVICE_OBJECT filter = extra->AttachedDevice;
            QueryRelations(busFilter_, BusRelations);
            QueryRelations(busFilter_, EjectionRelations);
            QueryRelations(filter, BusRelations);
            EXPECT_EQ(hk::SendIrp(filter, Pnp(IRP_MN_REMOVE_DEVICE)).status, STATUS_SUCCESS);
            hk::TakeInvalidations();
        }
    });

    service.join();
    pnp.join();
    done = true;
    for (std::thread& thread : storage) {
        thread.join();
    }

    int writesReached = 0;
    int readsReached = 0;
    int passThroughsReached = 0;
    for (Card& card : cards_) {
        writesReached += card.writes;
        readsReached += card.reads;
        passThroughsReached += card.passThroughs;
    }
    EXPECT_EQ(readsReached, readsSent.load()) << "every read reaches its card";
    uint64_t signals = 0;
    for (HANDLE event : events) {
        signals += hk::EventSignalCount(hk::ObjectOfHandle(service_, event));
    }
    const int swallowed = writesSent - writesReached + passThroughsSent - passThroughsReached;
    EXPECT_LE(signals, static_cast<uint64_t>(swallowed))
        << "an event is signalled only for a swallowed write";
    EXPECT_LE(writesReached, writesSent.load());
    for (HANDLE event : events) {
        hk::CloseHandle(service_, event);
    }
}

} // namespace
