// Resource failures along the main road: the scenario of the demonstration
// (buses and cards come, the service stores read-only protection and ALLBLOCK,
// storage writes meet the write blocker, enforcement is suspended and
// resumed, hidden cards go, the buses go, the service closes its handle) is
// run once to count its pool allocations, then once per allocation with
// exactly that one failing, then with a request allocation or a device
// creation failing in each step.  Every run must end with nothing held and
// no rule broken; the run must match the undisturbed one up to the step in
// which the failure happened; and whatever failed, a write the driver says it
// blocks never reaches a card's medium.
//
// How a failure surfaces is summarised per step at the end of each sweep (how
// many runs changed what the machine shows); the table of faults by pool tag
// below pins down the surfacing of each of the driver's own allocations.

#include <cstring>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>

#include "host_fixture.h"
#include "include/pcmfilter_ioctl.h"
#include "kernel/host/registry_control.h"
#include "sim/machine.h"
#include "sim/service.h"
#include "sys/driver.h"

namespace {

std::vector<UCHAR> Cdb10(UCHAR opcode) {
    std::vector<UCHAR> cdb(10, 0);
    cdb[0] = opcode;
    cdb[8] = 1;
    return cdb;
}

enum class Inject { Nothing, Pool, Irp, Device };

// The places where a request or device failure can be planned so that it
// strikes the driver and nothing else: every entry into the driver (AddDevice
// and each dispatch routine) and every PnP request the bus driver below it
// receives (the identity queries and remove requests the driver sends, and the
// requests it forwards).  The driver allocates requests and creates devices
// only between such a point and the return of its outermost entry, so a plan
// made at one point and withdrawn at the next point or at that return strikes
// the driver's next allocation or creation, if it makes one there.
namespace interpose {

Inject gMode = Inject::Nothing;
int gTarget = -1;
int gPoints = 0;
int gDepth = 0;
std::map<PDRIVER_OBJECT, std::vector<PDRIVER_DISPATCH>> gSaved;
PDRIVER_ADD_DEVICE gSavedAddDevice = nullptr;

void Point() {
    if (gMode != Inject::Irp && gMode != Inject::Device) {
        ++gPoints;
        return;
    }
    hk::ClearFaultPlans();
    if (gPoints == gTarget) {
        if (gMode == Inject::Irp) {
            hk::FailNextIrpAllocation();
        } else {
            hk::FailNextDeviceCreation();
        }
    }
    ++gPoints;
}

void Left() {
    if (--gDepth == 0 && (gMode == Inject::Irp || gMode == Inject::Device)) {
        hk::ClearFaultPlans();
    }
}

NTSTATUS FilterDispatch(PDEVICE_OBJECT device, PIRP irp) {
    PDRIVER_DISPATCH original =
        gSaved[device->DriverObject][IoGetCurrentIrpStackLocation(irp)->MajorFunction];
    Point();
    ++gDepth;
    NTSTATUS status = original(device, irp);
    Left();
    return status;
}

NTSTATUS FilterAddDeviceEntry(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    Point();
    ++gDepth;
    NTSTATUS status = gSavedAddDevice(driver, pdo);
    Left();
    return status;
}

NTSTATUS BusDispatch(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PDRIVER_DISPATCH original = gSaved[device->DriverObject][stack->MajorFunction];
    if (stack->MajorFunction == IRP_MJ_PNP) {
        Point();
    }
    return original(device, irp);
}

// Puts the entry points in place (once per driver object).
void Install(PDRIVER_OBJECT driver, PDRIVER_DISPATCH dispatch) {
    if (driver == nullptr || gSaved.count(driver) != 0) {
        return;
    }
    gSaved[driver].assign(driver->MajorFunction,
                          driver->MajorFunction + IRP_MJ_MAXIMUM_FUNCTION + 1);
    for (PDRIVER_DISPATCH& slot : driver->MajorFunction) {
        slot = dispatch;
    }
}

void Start(Inject mode, int target, PDRIVER_OBJECT filter) {
    gMode = mode;
    gTarget = target;
    gPoints = 0;
    gDepth = 0;
    gSaved.clear();
    Install(filter, &FilterDispatch);
    gSavedAddDevice = filter->DriverExtension->AddDevice;
    filter->DriverExtension->AddDevice = &FilterAddDeviceEntry;
}

} // namespace interpose

// One run of the main road and what it showed, step by step.
class MainRoad {
public:
    MainRoad(Inject inject, int target) {
        memset(&DriverState, 0, sizeof(DriverState));
        machine_ = std::make_unique<sim::Machine>(DriverEntry);
        service_ = std::make_unique<sim::Service>();
        interpose::Start(inject, target, machine_->FilterDriver());
    }

    struct Step {
        const char* name;
        std::function<void(MainRoad&)> run;
    };

    static const std::vector<Step>& Steps();

    // Runs step `index` and returns what it showed.
    std::string Run(size_t index) {
        // The bus driver under the filters, once a controller exists.
        for (const std::string& bus : machine_->Controllers()) {
            PDEVICE_OBJECT fdo = hk::LowerOf(machine_->ControllerPdo(bus)->AttachedDevice);
            if (fdo != nullptr && fdo != machine_->ControllerPdo(bus)) {
                interpose::Install(fdo->DriverObject, &interpose::BusDispatch);
            }
        }
        shown_.str("");
        Steps()[index].run(*this);
        shown_ << "| " << State();
        return shown_.str();
    }

    // The end of the run: the service's handles, every bus still present and
    // the drivers go.
    void Finish() {
        service_.reset();
        for (const std::string& bus : machine_->Controllers()) {
            machine_->RemoveController(bus);
        }
        machine_.reset();
        hk::DrainWork();
    }

    sim::Machine& machine() { return *machine_; }

    // Breaches of what must hold whatever failed.
    const std::vector<std::string>& Breaches() const { return breaches_; }

private:
    bool StorageFilterOver(const std::string& bus, int socket) {
        PDEVICE_OBJECT above = machine_->DeviceAboveCard(bus, socket);
        if (above == nullptr || above->DriverObject != machine_->FilterDriver()) {
            return false;
        }
        return static_cast<PFILTER_EXTENSION>(above->DeviceExtension)->StorageChild != 0;
    }

    void ScsiWrite(const std::string& bus, int socket) {
        bool blocks = StorageFilterOver(bus, socket) && DriverState.ReadOnlyActive &&
                      !DriverState.EnforcementSuspended;
        sim::IoOutcome outcome = machine_->Scsi(bus, socket, Cdb10(0x2A));
        Show(outcome);
        if (blocks && (outcome.reachedCard || outcome.result.status != STATUS_SUCCESS)) {
            breaches_.push_back("a SCSI write reached " + bus + " socket " +
                                std::to_string(socket) + " under read-only protection");
        }
    }

    void PassThroughWrite(const std::string& bus, int socket) {
        bool blocks = StorageFilterOver(bus, socket) && DriverState.ReadOnlyActive &&
                      !DriverState.EnforcementSuspended;
        sim::IoOutcome outcome = machine_->PassThrough(bus, socket, false, Cdb10(0x2A));
        Show(outcome);
        if (blocks && outcome.reachedCard) {
            breaches_.push_back("a pass-through write reached " + bus + " under read-only");
        }
    }

    void PlainWrite(const std::string& bus, int socket) {
        bool refuses = StorageFilterOver(bus, socket) && !DriverState.EnforcementSuspended;
        sim::IoOutcome outcome = machine_->Plain(bus, socket, IRP_MJ_WRITE);
        Show(outcome);
        if (refuses &&
            (outcome.reachedCard || outcome.result.status != STATUS_MEDIA_WRITE_PROTECTED)) {
            breaches_.push_back("a plain write passed a storage child filter");
        }
    }

    void Read(const std::string& bus, int socket) {
        Show(machine_->Scsi(bus, socket, Cdb10(0x28)));
    }

    void Control(ULONG code, ULONG outputLength = 0, std::vector<UCHAR> input = {}) {
        if (service_->OpenHandles() == 0) {
            shown_ << "no-handle ";
            return;
        }
        hk::IoResult result = service_->Control(code, input, outputLength);
        shown_ << std::hex << result.status << std::dec << ":";
        for (UCHAR byte : result.output) {
            shown_ << static_cast<int>(byte) << ",";
        }
        shown_ << " ";
        machine_->ProcessInvalidations();
    }

    void SetEvent() {
        uint32_t handle = 0;
        event_ = service_->CreateEvent(&handle);
        FILTER_EVENT_INPUT input{0, handle};
        std::vector<UCHAR> bytes(sizeof(input));
        memcpy(bytes.data(), &input, sizeof(input));
        Control(IOCTL_PCMCIA_FILTER_SET_EVENT, 0, bytes);
    }

    void Show(const sim::IoOutcome& outcome) {
        shown_ << std::hex << outcome.result.status << std::dec
               << (outcome.reachedCard ? "/card " : "/filter ");
    }

    std::string State() {
        std::ostringstream out;
        out << "mode " << DriverState.BlockMode << " ro " << int(DriverState.ReadOnlyActive)
            << int(DriverState.ReadOnlyConfigured) << " susp "
            << int(DriverState.EnforcementSuspended) << " filters " << DriverState.FilterCount
            << " pairs " << DriverState.PairCount << " control "
            << (DriverState.ControlDevice != nullptr) << " events";
        for (const auto& signals :
             service_ ? service_->EventSignals() : std::map<int, uint64_t>()) {
            out << " " << signals.second;
        }
        // Every card the machine has seen, also after it left.
        for (int serial = 1;; ++serial) {
            sim::CardInfo card = machine_->CardBySerial(serial);
            if (!card.found) {
                break;
            }
            char kind = '-';
            if (card.above != nullptr && card.above->DriverObject == machine_->FilterDriver()) {
                kind = static_cast<PFILTER_EXTENSION>(card.above->DeviceExtension)->StorageChild
                           ? 'S'
                           : 'O';
            }
            out << " " << serial << (card.present ? 'p' : 'g') << (card.visible ? 'v' : 'h') << kind
                << card.removeRequests << card.mediumWrites;
        }
        return out.str();
    }

    std::unique_ptr<sim::Machine> machine_;
    std::unique_ptr<sim::Service> service_;
    std::ostringstream shown_;
    std::vector<std::string> breaches_;
    int event_ = 0;
};

const std::vector<MainRoad::Step>& MainRoad::Steps() {
    static const std::vector<Step> steps = {
        {"bus0 appears", [](MainRoad& r) { r.machine_->AddController("bus0"); }},
        {"cards come in",
         [](MainRoad& r) {
             r.machine_->InsertCard("bus0", 0, sim::DiskCard());
             r.machine_->InsertCard("bus0", 1, sim::CdRomCard());
             r.machine_->InsertCard("bus0", 2, sim::NetCard());
         }},
        {"writes without protection",
         [](MainRoad& r) {
             r.ScsiWrite("bus0", 0);
             r.PlainWrite("bus0", 0);
         }},
        {"service stores read-only",
         [](MainRoad& r) {
             hk::SetLocalMilliseconds(250);
             r.shown_ << std::hex << r.service_->Open(hk::Identity::LocalSystem) << std::dec << " ";
             r.Control(IOCTL_PCMCIA_FILTER_SET_READONLY);
             r.Control(IOCTL_PCMCIA_FILTER_GET_READONLY, 4);
             r.SetEvent();
         }},
        {"bus1 appears and loads the settings",
         [](MainRoad& r) {
             r.machine_->AddController("bus1", {{0, sim::DiskCard()}});
         }},
        {"writes are swallowed",
         [](MainRoad& r) {
             r.ScsiWrite("bus0", 0);
             r.PassThroughWrite("bus0", 1);
             r.ScsiWrite("bus1", 0);
             r.Read("bus0", 0);
             r.PlainWrite("bus1", 0);
         }},
        {"suspend and resume",
         [](MainRoad& r) {
             r.Control(IOCTL_PCMCIA_FILTER_SUSPEND);
             r.ScsiWrite("bus0", 0);
             r.Control(IOCTL_PCMCIA_FILTER_RESUME);
             r.ScsiWrite("bus0", 0);
         }},
        {"service stores ALLBLOCK",
         [](MainRoad& r) {
             hk::SetLocalMilliseconds(731);
             r.Control(IOCTL_PCMCIA_FILTER_SET_ALLBLOCK);
             r.Control(IOCTL_PCMCIA_FILTER_GET_STATUS, 8);
         }},
        {"bus2 appears and every card is hidden",
         [](MainRoad& r) {
             r.machine_->AddController("bus2", {{3, sim::ModemCard()}});
             r.machine_->Enumerate("bus0");
             r.machine_->Enumerate("bus1");
             r.ScsiWrite("bus0", 0);
         }},
        {"a new card stays hidden; suspend shows, resume hides",
         [](MainRoad& r) {
             r.machine_->InsertCard("bus1", 1, sim::CdRomCard());
             r.Control(IOCTL_PCMCIA_FILTER_SUSPEND);
             r.ScsiWrite("bus1", 1);
             r.Control(IOCTL_PCMCIA_FILTER_RESUME);
         }},
        {"a hidden card is pulled", [](MainRoad& r) { r.machine_->PullCard("bus0", 2); }},
        {"status and re-baseline",
         [](MainRoad& r) {
             r.Control(IOCTL_PCMCIA_FILTER_GET_STATUS, 8);
             r.Control(IOCTL_PCMCIA_FILTER_REBASELINE);
             r.Control(IOCTL_PCMCIA_FILTER_CLEAR_EVENT);
         }},
        {"the buses go",
         [](MainRoad& r) {
             r.machine_->RemoveController("bus1");
             r.Control(IOCTL_PCMCIA_FILTER_GET_STATUS, 8);
             r.machine_->RemoveController("bus0");
             r.machine_->RemoveController("bus2");
         }},
        {"service closes its handle",
         [](MainRoad& r) { r.shown_ << std::hex << r.service_->Close() << std::dec; }},
    };
    return steps;
}

// What one run showed, and where the allocation counter and the count of
// planning points stood after each step.
struct RunRecord {
    uint64_t allocationsAtStart = 0; // made by the machine's construction
    std::vector<std::string> shown;
    std::vector<uint64_t> allocationsAfter;
    std::vector<int> pointsAfter;
    std::vector<std::string> breaches;
    std::string findings;
};

// One run, with allocation `n` failing (Pool) or a request allocation or
// device creation planned at planning point `n` (Irp, Device).
RunRecord RunMainRoad(Inject inject, uint64_t n) {
    hk::Reset();
    RunRecord record;
    {
        MainRoad road(inject, static_cast<int>(n));
        record.allocationsAtStart = hk::AllocationCount();
        if (inject == Inject::Pool) {
            hk::FailNthAllocation(n - record.allocationsAtStart);
        }
        for (size_t index = 0; index < MainRoad::Steps().size(); ++index) {
            record.shown.push_back(road.Run(index));
            record.allocationsAfter.push_back(hk::AllocationCount());
            record.pointsAfter.push_back(interpose::gPoints);
        }
        road.Finish();
        record.breaches = road.Breaches();
    }
    hk::DrainWork();
    record.findings = hk::CheckClean();
    hk::Reset();
    return record;
}

class FailureSweep : public HostKernelTest {
protected:
    void SetUp() override {
        HostKernelTest::SetUp();
        baseline_ = RunMainRoad(Inject::Nothing, 0);
        ASSERT_EQ(baseline_.findings, "") << "the undisturbed main road is clean";
        ASSERT_TRUE(baseline_.breaches.empty()) << baseline_.breaches.front();
    }

    // Judges one disturbed run whose fault could strike first in `step`.
    void Judge(const RunRecord& run, size_t step, const std::string& fault) {
        EXPECT_EQ(run.findings, "") << fault << " left the machine unclean";
        for (const std::string& breach : run.breaches) {
            ADD_FAILURE() << fault << ": " << breach;
        }
        ASSERT_EQ(run.shown.size(), baseline_.shown.size());
        for (size_t index = 0; index < step; ++index) {
            EXPECT_EQ(run.shown[index], baseline_.shown[index])
                << fault << " changed step " << index << " (" << MainRoad::Steps()[index].name
                << "), before it could strike";
        }
        for (size_t index = step; index < run.shown.size(); ++index) {
            if (run.shown[index] != baseline_.shown[index]) {
                ++surfaced_[MainRoad::Steps()[step].name];
                break;
            }
        }
        ++runs_[MainRoad::Steps()[step].name];
    }

    void PrintSummary(const std::string& sweep) {
        std::cout << sweep << ": runs by the step the fault struck in, and how many of them "
                  << "changed what the machine showed\n";
        for (const auto& entry : runs_) {
            std::cout << "  " << entry.first << ": " << entry.second << " runs, "
                      << surfaced_[entry.first] << " visible\n";
        }
    }

    size_t StepOfPoint(int point) const {
        size_t step = 0;
        while (baseline_.pointsAfter[step] <= point) {
            ++step;
        }
        return step;
    }

    void SweepPoints(Inject inject, const std::string& what) {
        const int total = baseline_.pointsAfter.back();
        ASSERT_GT(total, 0);
        for (int point = 0; point < total; ++point) {
            size_t step = StepOfPoint(point);
            Judge(RunMainRoad(inject, static_cast<uint64_t>(point)), step,
                  "a failed " + what + " planned at point " + std::to_string(point) + " (step " +
                      MainRoad::Steps()[step].name + ")");
        }
        PrintSummary(what + " (" + std::to_string(total) + " points)");
    }

    RunRecord baseline_;
    std::map<std::string, int> runs_;
    std::map<std::string, int> surfaced_;
};

// Every pool allocation of the main road fails once, in its own run.
TEST_F(FailureSweep, EveryPoolAllocation) {
    const uint64_t total = baseline_.allocationsAfter.back();
    ASSERT_GT(total, 0u);
    for (uint64_t n = baseline_.allocationsAtStart + 1; n <= total; ++n) {
        size_t step = 0;
        while (baseline_.allocationsAfter[step] < n) {
            ++step;
        }
        RunRecord run = RunMainRoad(Inject::Pool, n);
        Judge(run, step,
              "failing allocation " + std::to_string(n) + " of " + std::to_string(total));
    }
    PrintSummary("pool allocations (" + std::to_string(total) + ")");
}

// How the failure of each of the driver's own allocations surfaces: a fault
// planned just before one step of the main road, and what must show after it.
struct Surfacing {
    const char* name;
    size_t step; // the fault is planned just before this step
    std::function<void()> plan;
    size_t checkAfter; // the check runs after this step
    std::function<void(MainRoad&, const std::vector<std::string>&)> check;
};

void PrintTo(const Surfacing& surfacing, std::ostream* os) {
    *os << surfacing.name;
}

const ULONG kControlWork = 0x4644494C;   // the control device's work block
const ULONG kRelationsWork = 0x4644524C; // a relations pass's work block
const ULONG kDecodeBuffer = 0x44656331;  // a setting read's decode buffer
const ULONG kEncodeBuffer = 0x456E6331;  // a setting write's encode buffer
const ULONG kReadOnlyStore = 0x00524F31; // the read-only store's work buffer

const Surfacing kSurfacings[] = {
    // The service's open fails with the status; it has no handle afterwards.
    {"CreateWithoutWorkBlock", 3, [] { hk::FailNextAllocationWithTag(kControlWork); }, 3,
     [](MainRoad&, const std::vector<std::string>& shown) {
         EXPECT_EQ(shown[3].rfind("c000009a no-handle", 0), 0u) << shown[3];
     }},
    // Closing the last handle cannot fail: the control device goes even
    // when the close finds no work block (the cleanup takes the first one).
    {"CloseWithoutWorkBlock", 13, [] { hk::FailNthAllocation(2); }, 13,
     [](MainRoad&, const std::vector<std::string>&) {
         EXPECT_EQ(DriverState.ControlDevice, nullptr);
         EXPECT_EQ(DriverState.ControlRefCount, 0);
     }},
    // A settings load that cannot read the read-only MAC (the block mode's
    // three items take the first three buffers) leaves read-only off.
    {"LoadWithoutDecodeBuffer", 4,
     [] {
         for (int i = 0; i < 4; ++i) {
             hk::FailNextAllocationWithTag(kDecodeBuffer);
         }
     },
     4,
     [](MainRoad&, const std::vector<std::string>&) {
         EXPECT_FALSE(DriverState.ReadOnlyActive);
         EXPECT_FALSE(DriverState.ReadOnlyConfigured);
     }},
    // A bus whose first relations pass has no work block reports no card;
    // nothing is filtered or leaked.
    {"RelationsWithoutWorkBlock", 4, [] { hk::FailNextAllocationWithTag(kRelationsWork); }, 4,
     [](MainRoad& road, const std::vector<std::string>&) {
         EXPECT_FALSE(road.machine().CardVisible("bus1", 0));
         EXPECT_EQ(road.machine().DeviceAboveCard("bus1", 0), nullptr);
     }},
    // A block-mode store without an encode buffer answers the failure and
    // stores nothing the next load could apply.
    {"AllBlockWithoutEncodeBuffer", 7, [] { hk::FailNextAllocationWithTag(kEncodeBuffer); }, 8,
     [](MainRoad&, const std::vector<std::string>& shown) {
         EXPECT_EQ(shown[7].rfind("c000009a:", 0), 0u) << shown[7];
         EXPECT_EQ(DriverState.BlockMode, BlockModeNone);
     }},
    // A read-only store without its work buffer stores nothing: the next
    // load leaves read-only off.
    {"ReadOnlyWithoutStoreBuffer", 3, [] { hk::FailNextAllocationWithTag(kReadOnlyStore); }, 4,
     [](MainRoad&, const std::vector<std::string>&) { EXPECT_FALSE(DriverState.ReadOnlyActive); }},
};

class FaultSurfacing : public HostKernelTest, public ::testing::WithParamInterface<Surfacing> {};

TEST_P(FaultSurfacing, ShowsAsTheDriverAnswers) {
    const Surfacing& c = GetParam();
    {
        MainRoad road(Inject::Nothing, -1);
        std::vector<std::string> shown;
        for (size_t index = 0; index < MainRoad::Steps().size(); ++index) {
            if (index == c.step) {
                c.plan();
            }
            shown.push_back(road.Run(index));
            if (index == c.checkAfter) {
                c.check(road, shown);
            }
        }
        road.Finish();
        for (const std::string& breach : road.Breaches()) {
            ADD_FAILURE() << breach;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(DriverAllocations, FaultSurfacing, ::testing::ValuesIn(kSurfacings),
                         [](const ::testing::TestParamInfo<Surfacing>& info) {
                             return std::string(info.param.name);
                         });

// Each request the driver allocates along the main road fails, in its own run.
TEST_F(FailureSweep, EveryRequestAllocation) {
    SweepPoints(Inject::Irp, "IoAllocateIrp");
}

// Each device the driver creates along the main road cannot be created, in
// its own run.
TEST_F(FailureSweep, EveryDeviceCreation) {
    SweepPoints(Inject::Device, "IoCreateDevice");
}

} // namespace
