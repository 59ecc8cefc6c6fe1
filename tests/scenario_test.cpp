// The driver in the simulated machine: the main road of the product, from the
// PnP manager's AddDevice to the removal of the last bus, with the bus driver
// answering synchronously and pending.

#include <cstring>

#include "driver_fixture.h"
#include "include/pcmfilter_ioctl.h"
#include "kernel/host/registry_control.h"
#include "sim/machine.h"
#include "sim/service.h"

namespace {

class Scenario : public HostKernelTest, public ::testing::WithParamInterface<LowerMode> {
protected:
    void SetUp() override {
        HostKernelTest::SetUp();
        memset(&DriverState, 0, sizeof(DriverState));
    }

    sim::Answering Mode() const {
        return GetParam() == LowerMode::Synchronous ? sim::Answering::Synchronous
                                                    : sim::Answering::Pending;
    }

    static PFILTER_EXTENSION BusFilterOf(sim::Machine& machine, const std::string& bus) {
        PDEVICE_OBJECT top = hk::TopOfStack(machine.ControllerPdo(bus));
        EXPECT_EQ(top->DriverObject, machine.FilterDriver());
        return static_cast<PFILTER_EXTENSION>(top->DeviceExtension);
    }

    // The records of a bus filter's latest pass, as (PDO, Attached).
    static std::vector<std::pair<PDEVICE_OBJECT, int>> Records(PFILTER_EXTENSION extension) {
        std::vector<std::pair<PDEVICE_OBJECT, int>> records;
        for (ULONG i = 0; i < extension->ChildCount; ++i) {
            records.emplace_back(extension->Children[i].Pdo, extension->Children[i].Attached);
        }
        return records;
    }

    static std::string FilterKind(sim::Machine& machine, const std::string& bus, int socket) {
        PDEVICE_OBJECT above = machine.DeviceAboveCard(bus, socket);
        if (above == nullptr || above->DriverObject != machine.FilterDriver()) {
            return "none";
        }
        auto* extension = static_cast<PFILTER_EXTENSION>(above->DeviceExtension);
        return extension->StorageChild ? "storage" : extension->OtherChild ? "other" : "bus?";
    }
};

FILTER_STATUS QueryStatus(sim::Service& service) {
    hk::IoResult result =
        service.Control(IOCTL_PCMCIA_FILTER_GET_STATUS, {}, sizeof(FILTER_STATUS));
    FILTER_STATUS status{};
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    memcpy(&status, result.output.data(), std::min(result.output.size(), sizeof(status)));
    return status;
}

// Creates an event in the service and registers it; returns its number.
int RegisterNewEvent(sim::Service& service) {
    uint32_t handle = 0;
    int number = service.CreateEvent(&handle);
    FILTER_EVENT_INPUT input{0, handle};
    std::vector<UCHAR> bytes(sizeof(input));
    memcpy(bytes.data(), &input, sizeof(input));
    EXPECT_EQ(service.Control(IOCTL_PCMCIA_FILTER_SET_EVENT, bytes, 0).status, STATUS_SUCCESS);
    return number;
}

INSTANTIATE_TEST_SUITE_P(BothModes, Scenario,
                         ::testing::Values(LowerMode::Synchronous, LowerMode::Pending),
                         LowerModeName);

// Two controllers and four cards under a stored "ALLBLOCK": every card is
// hidden; a suspend shows them all, each with a child filter of its kind; a
// resume hides them again; a hidden card that is pulled receives exactly one
// remove request from the driver, straight to its PDO, and none later; a
// removed controller takes its hidden cards' removal with it, and every other
// bus re-enumerates; the control device's references follow the started bus
// filters and the service's handle.
TEST_P(Scenario, AllBlockWithSuspendResumePullAndRemoval) {
    ASSERT_EQ(StoreBlockMode(WIDE("ALLBLOCK")), STATUS_SUCCESS);
    {
        sim::Machine machine(DriverEntry, Mode());
        ASSERT_TRUE(machine.AddController("bus0"));
        ASSERT_TRUE(machine.AddController("bus1"));
        EXPECT_EQ(DriverState.BlockMode, BlockModeAllBlock) << "loaded with the first bus filter";
        EXPECT_EQ(DriverState.ControlRefCount, 2) << "one reference per started bus filter";
        EXPECT_NE(DriverState.ControlDevice, nullptr);

        machine.InsertCard("bus0", 0, sim::DiskCard());
        machine.InsertCard("bus0", 1, sim::NetCard());
        machine.InsertCard("bus1", 0, sim::CdRomCard());
        machine.InsertCard("bus1", 1, sim::ModemCard());
        PDEVICE_OBJECT disk = machine.CardPdo("bus0", 0);
        PDEVICE_OBJECT net = machine.CardPdo("bus0", 1);
        PDEVICE_OBJECT cdrom = machine.CardPdo("bus1", 0);
        PDEVICE_OBJECT modem = machine.CardPdo("bus1", 1);

        // Every card is hidden: the PnP manager built no stack, and each bus
        // filter recorded its cards as hidden, in list order.
        for (auto [bus, socket] : {std::pair{"bus0", 0}, {"bus0", 1}, {"bus1", 0}, {"bus1", 1}}) {
            EXPECT_FALSE(machine.CardVisible(bus, socket)) << bus << " " << socket;
            EXPECT_EQ(FilterKind(machine, bus, socket), "none");
        }
        using Records = std::vector<std::pair<PDEVICE_OBJECT, int>>;
        EXPECT_EQ(this->Records(BusFilterOf(machine, "bus0")), (Records{{disk, 0}, {net, 0}}));
        EXPECT_EQ(this->Records(BusFilterOf(machine, "bus1")), (Records{{cdrom, 0}, {modem, 0}}));

        // The service suspends enforcement: every bus re-enumerates and every
        // card appears, each with a child filter directly above its PDO.  A
        // card hidden in the previous pass and recorded as attached now
        // differs in its record, so the pass sends its PDO a remove request
        // (the card stays: it is still in its socket).
        sim::Service service;
        ASSERT_EQ(service.Open(hk::Identity::LocalSystem), STATUS_SUCCESS);
        EXPECT_EQ(DriverState.ControlRefCount, 3);
        EXPECT_EQ(service.Control(IOCTL_PCMCIA_FILTER_SUSPEND, {}, 0).status, STATUS_SUCCESS);
        machine.ProcessInvalidations();
        EXPECT_TRUE(machine.CardVisible("bus0", 0));
        EXPECT_EQ(FilterKind(machine, "bus0", 0), "storage");
        EXPECT_EQ(FilterKind(machine, "bus0", 1), "other");
        EXPECT_EQ(FilterKind(machine, "bus1", 0), "storage");
        EXPECT_EQ(FilterKind(machine, "bus1", 1), "other");
        EXPECT_EQ(this->Records(BusFilterOf(machine, "bus0")), (Records{{disk, 1}, {net, 1}}));
        for (auto [bus, socket] : {std::pair{"bus0", 0}, {"bus0", 1}, {"bus1", 0}, {"bus1", 1}}) {
            EXPECT_EQ(machine.RemoveRequestsAtCard(bus, socket), 1) << bus << " " << socket;
        }

        // Resume: the passes hide every card again.  The PnP manager removes
        // the stacks it had (their child filters with them); cards that carried
        // a filter draw no remove request from the driver.
        EXPECT_EQ(service.Control(IOCTL_PCMCIA_FILTER_RESUME, {}, 0).status, STATUS_SUCCESS);
        machine.ProcessInvalidations();
        for (auto [bus, socket] : {std::pair{"bus0", 0}, {"bus0", 1}, {"bus1", 0}, {"bus1", 1}}) {
            EXPECT_FALSE(machine.CardVisible(bus, socket)) << bus << " " << socket;
            EXPECT_EQ(FilterKind(machine, bus, socket), "none");
            EXPECT_EQ(machine.RemoveRequestsAtCard(bus, socket), 2)
                << "one more, from the removal of its stack";
        }
        EXPECT_EQ(this->Records(BusFilterOf(machine, "bus0")), (Records{{disk, 0}, {net, 0}}));
        EXPECT_EQ(DriverState.PairCount, 0u) << "the child filters are gone";

        // The hidden net card is pulled: the next pass sends exactly one remove
        // request straight to its PDO, which then deletes itself; no later
        // pass sends another.
        machine.PullCard("bus0", 1);
        EXPECT_EQ(machine.RemoveRequestsAtCard("bus0", 1), 3);
        EXPECT_EQ(machine.CardPdo("bus0", 1), nullptr);
        EXPECT_EQ(this->Records(BusFilterOf(machine, "bus0")), (Records{{disk, 0}}));
        machine.Enumerate("bus0");
        EXPECT_EQ(machine.RemoveRequestsAtCard("bus0", 1), 3);

        // bus1 is removed: its bus filter sends its hidden cards a remove
        // request before its own removal goes down, drops its control device
        // reference, and the remaining bus re-enumerates.
        machine.RemoveController("bus1");
        EXPECT_EQ(machine.RemoveRequestsAtCard("bus1", 0), 3);
        EXPECT_EQ(machine.RemoveRequestsAtCard("bus1", 1), 3);
        EXPECT_EQ(DriverState.FilterCount, 1u);
        EXPECT_EQ(DriverState.ControlRefCount, 2) << "bus0's reference and the handle";
        FILTER_STATUS status = QueryStatus(service);
        EXPECT_EQ(status.DeviceState, ULONG(FILTER_DEVICES_GONE)) << "bus1 was in the baseline";

        // The handle closes and the last bus goes: so does the control device.
        service.Close();
        EXPECT_EQ(DriverState.ControlRefCount, 1);
        machine.RemoveController("bus0");
        EXPECT_EQ(DriverState.ControlRefCount, 0);
        EXPECT_EQ(DriverState.ControlDevice, nullptr);
        EXPECT_FALSE(hk::SymbolicLinkExists(u"\\DosDevices\\VexaFil2"));
        EXPECT_EQ(machine.RemoveRequestsAtCard("bus0", 0), 3);
    }
    EXPECT_TRUE(hk::LiveDevices().empty());
}

// Outside "ALLBLOCK", a bus with a storage card and a network card gets a
// storage and a non-storage child filter directly above the cards; writes to
// the storage card are refused or swallowed as protection says; the event of
// the service fires for each swallowed write; a filtered card that is pulled
// draws no remove request from the driver.
TEST_P(Scenario, FilteredCardsAndWriteBlocking) {
    ASSERT_EQ(StoreReadOnly(WIDE("YES")), STATUS_SUCCESS);
    {
        sim::Machine machine(DriverEntry, Mode());
        ASSERT_TRUE(machine.AddController("bus0"));
        EXPECT_TRUE(DriverState.ReadOnlyActive);
        machine.InsertCard("bus0", 0, sim::DiskCard());
        machine.InsertCard("bus0", 1, sim::NetCard());
        EXPECT_EQ(FilterKind(machine, "bus0", 0), "storage");
        EXPECT_EQ(FilterKind(machine, "bus0", 1), "other");
        EXPECT_TRUE(IsBusFilter(BusFilterOf(machine, "bus0")));

        sim::Service service;
        ASSERT_EQ(service.Open(hk::Identity::Administrator), STATUS_SUCCESS);
        int event = RegisterNewEvent(service);
        ASSERT_GT(event, 0);

        sim::IoOutcome write = machine.Scsi("bus0", 0, {SCSIOP_WRITE, 0, 0, 0, 0, 0, 0, 0, 1, 0});
        EXPECT_EQ(write.result.status, STATUS_SUCCESS);
        EXPECT_EQ(write.srbStatus, SRB_STATUS_SUCCESS);
        EXPECT_FALSE(write.reachedCard);
        EXPECT_EQ(machine.MediumWrites("bus0", 0), 0);
        EXPECT_EQ(service.EventSignals()[event], 1u);

        sim::IoOutcome read = machine.Scsi("bus0", 0, {SCSIOP_READ, 0, 0, 0, 0, 0, 0, 0, 1, 0});
        EXPECT_TRUE(read.reachedCard);
        sim::IoOutcome plain = machine.Plain("bus0", 0, IRP_MJ_WRITE);
        EXPECT_EQ(plain.result.status, STATUS_MEDIA_WRITE_PROTECTED);
        sim::IoOutcome direct =
            machine.PassThrough("bus0", 0, true, {SCSIOP_WRITE, 0, 0, 0, 0, 0, 0, 0, 1, 0});
        EXPECT_EQ(direct.result.status, STATUS_SUCCESS);
        EXPECT_FALSE(direct.reachedCard);
        EXPECT_EQ(service.EventSignals()[event], 2u);
        EXPECT_EQ(machine.MediumWrites("bus0", 0), 0);

        // The network card's filter blocks nothing.
        sim::IoOutcome netWrite = machine.Plain("bus0", 1, IRP_MJ_WRITE);
        EXPECT_TRUE(netWrite.reachedCard);

        machine.PullCard("bus0", 1);
        EXPECT_EQ(machine.RemoveRequestsAtCard("bus0", 1), 1) << "only the PnP manager's";
        service.Close();
    }
    // The bus's orderly removal queried removal relations of the disk card's
    // stack first, so its child filter deferred the remove and stays attached:
    // the one device left, named an orphaned filter.
    EXPECT_EQ(hk::LiveDevices(), hk::OrphanedFilters());
    EXPECT_EQ(hk::OrphanedFilters().size(), 1u);
}

} // namespace
