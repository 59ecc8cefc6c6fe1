// The PnP life cycle of bus filters and child filters: state transitions,
// the synchronous start and the control device reference, the deferred and
// the full removal, re-enumeration of the remaining buses, the orphaned-child
// flag and the paging flag.  Each filter sits on its own fake lower device,
// which records every PnP request it receives and the status it carried.

#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <tuple>

#include "driver_fixture.h"

namespace {

struct Lower {
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS startStatus = STATUS_SUCCESS;
    std::vector<std::pair<UCHAR, NTSTATUS>> received; // minor code, status on arrival
    bool filterPagableSeen =
        false; // the filter above was pageable when a usage notification arrived
};

// One PnP request: a minor code, and the relation type of a relations query.
struct Step {
    UCHAR minor;
    DEVICE_RELATION_TYPE type = BusRelations;
};

Step Relations(DEVICE_RELATION_TYPE type) {
    return Step{IRP_MN_QUERY_DEVICE_RELATIONS, type};
}

const Step kStart{IRP_MN_START_DEVICE};
const Step kQueryStop{IRP_MN_QUERY_STOP_DEVICE};
const Step kCancelStop{IRP_MN_CANCEL_STOP_DEVICE};
const Step kStop{IRP_MN_STOP_DEVICE};
const Step kQueryRemove{IRP_MN_QUERY_REMOVE_DEVICE};
const Step kCancelRemove{IRP_MN_CANCEL_REMOVE_DEVICE};
const Step kRemove{IRP_MN_REMOVE_DEVICE};
const Step kSurprise{IRP_MN_SURPRISE_REMOVAL};
const Step kCapabilities{IRP_MN_QUERY_CAPABILITIES};

class PnpFixture : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        fakes_ = std::make_unique<FakeDriver>("lower");
    }

    // Every filter still there ends with a full removal, so that the control
    // device references its start took are dropped as well.
    void TearDown() override {
        for (PDEVICE_OBJECT upper : uppers_) {
            FakeDriver::DestroyDevice(upper);
        }
        for (PDEVICE_OBJECT filter : filters_) {
            RemoveFully(filter);
        }
        for (auto& lower : lowers_) {
            FakeDriver::DestroyDevice(lower->device);
        }
        fakes_.reset();
        DriverTest::TearDown();
    }

    Lower* NewLower(const std::string& label) {
        auto lower = std::make_unique<Lower>();
        Lower* raw = lower.get();
        raw->device = fakes_->CreateDevice(label, [this, raw](PDEVICE_OBJECT device, PIRP irp) {
            return LowerDispatch(raw, device, irp);
        });
        lowers_.push_back(std::move(lower));
        return raw;
    }

    PDEVICE_OBJECT NewBusFilter() {
        std::string n = std::to_string(lowers_.size());
        Lower* lower = NewLower("bus pdo " + n);
        PDEVICE_OBJECT filter = CreateFilter(lower->device, "bus filter " + n);
        Extension(filter)->Pdo = lower->device;
        EXPECT_TRUE(RegisterFilterDevice(filter));
        lowerOf_[filter] = lower;
        return filter;
    }

    PDEVICE_OBJECT NewChildFilter() {
        std::string n = std::to_string(lowers_.size());
        Lower* lower = NewLower("card pdo " + n);
        PDEVICE_OBJECT filter = CreateFilter(lower->device, "child filter " + n);
        Extension(filter)->OtherChild = TRUE;
        EXPECT_TRUE(RegisterAttachPair(lower->device, lower->device));
        lowerOf_[filter] = lower;
        return filter;
    }

    PDEVICE_OBJECT NewFilter(bool child) { return child ? NewChildFilter() : NewBusFilter(); }

    // A PnP request as the PnP manager sends it.
    static hk::IoResult Send(PDEVICE_OBJECT filter, Step step) {
        hk::IrpSpec spec;
        spec.major = IRP_MJ_PNP;
        spec.minor = step.minor;
        spec.initialStatus = STATUS_NOT_SUPPORTED;
        spec.parameters = [step](PIO_STACK_LOCATION stack) {
            if (step.minor == IRP_MN_QUERY_DEVICE_RELATIONS) {
                stack->Parameters.QueryDeviceRelations.Type = step.type;
            } else if (step.minor == IRP_MN_DEVICE_USAGE_NOTIFICATION) {
                stack->Parameters.UsageNotification.InPath = TRUE;
                stack->Parameters.UsageNotification.Type = DeviceUsageTypePaging;
            }
        };
        return hk::SendIrp(filter, spec);
    }

    // Sends remove requests until the filter is gone (a child filter may
    // defer the first).
    static void RemoveFully(PDEVICE_OBJECT filter) {
        for (int attempt = 0; attempt < 2 && hk::DeviceExists(filter); ++attempt) {
            EXPECT_EQ(Send(filter, kRemove).status, STATUS_SUCCESS);
        }
        EXPECT_FALSE(hk::DeviceExists(filter));
    }

    static bool Registered(PDEVICE_OBJECT filter) {
        for (ULONG i = 0; i < DriverState.FilterCount; ++i) {
            if (DriverState.FilterDevices[i] == filter) {
                return true;
            }
        }
        return false;
    }

    LowerMode mode_ = LowerMode::Synchronous;
    std::unique_ptr<FakeDriver> fakes_;
    std::vector<std::unique_ptr<Lower>> lowers_;
    std::map<PDEVICE_OBJECT, Lower*> lowerOf_;
    std::vector<PDEVICE_OBJECT> uppers_;

private:
    // A lower device completes what it receives: the start with its start
    // status, a relations query with no list, everything else with the
    // status it arrived with.
    NTSTATUS LowerDispatch(Lower* lower, PDEVICE_OBJECT device, PIRP irp) {
        UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
        lower->received.emplace_back(minor, irp->IoStatus.Status);
        if (minor == IRP_MN_DEVICE_USAGE_NOTIFICATION) {
            lower->filterPagableSeen = (device->AttachedDevice->Flags & DO_POWER_PAGABLE) != 0;
        }
        NTSTATUS status = minor == IRP_MN_START_DEVICE             ? lower->startStatus
                          : minor == IRP_MN_QUERY_DEVICE_RELATIONS ? STATUS_SUCCESS
                                                                   : irp->IoStatus.Status;
        return Answer(mode_, status)(device, irp);
    }
};

class PnpTest : public PnpFixture, public ::testing::WithParamInterface<LowerMode> {
protected:
    void SetUp() override {
        PnpFixture::SetUp();
        mode_ = GetParam();
    }
};

template <typename Case>
std::string CaseName(const ::testing::TestParamInfo<std::tuple<Case, LowerMode>>& info) {
    return std::string(std::get<0>(info.param).name) +
           (std::get<1>(info.param) == LowerMode::Synchronous ? "Synchronous" : "Pending");
}

template <typename Case>
class PnpTableTest : public PnpFixture,
                     public ::testing::WithParamInterface<std::tuple<Case, LowerMode>> {
protected:
    void SetUp() override {
        PnpFixture::SetUp();
        mode_ = std::get<1>(this->GetParam());
    }
    const Case& TestCase() const { return std::get<0>(this->GetParam()); }
};

#define PNP_MODES ::testing::Values(LowerMode::Synchronous, LowerMode::Pending)

// ---------------------------------------------------------------------------
// State transitions.

struct StateCase {
    const char* name;
    bool child;
    std::vector<Step> steps;
    PNP_STATE state;
    PNP_STATE previous;
    bool removalRelationsSeen;
};

const StateCase kStateCases[] = {
    {"Start", false, {kStart}, Started, NotStarted, false},
    {"QueryStopCancelled", false, {kStart, kQueryStop, kCancelStop}, Started, Started, false},
    {"Stop", false, {kStart, kQueryStop, kStop}, Stopped, StopPending, false},
    {"CancelStopWithoutQuery", false, {kStart, kCancelStop}, Started, NotStarted, false},
    // Only a removal-relations query on a child filter makes a query-remove
    // pending.
    {"BusQueryRemoveUnchanged",
     false,
     {kStart, Relations(RemovalRelations), kQueryRemove},
     Started,
     NotStarted,
     false},
    {"ChildQueryRemoveUnchanged", true, {kStart, kQueryRemove}, Started, NotStarted, false},
    {"ChildQueryRemoveAfterRemovalRelations",
     true,
     {kStart, Relations(RemovalRelations), kQueryRemove},
     RemovePending,
     Started,
     true},
    {"ChildRemoveCancelled",
     true,
     {kStart, Relations(RemovalRelations), kQueryRemove, kCancelRemove},
     Started,
     Started,
     true},
    {"CancelRemoveWithoutQuery", false, {kStart, kCancelRemove}, Started, NotStarted, false},
    {"SurpriseRemoval",
     true,
     {kStart, Relations(RemovalRelations), kSurprise},
     SurpriseRemovePending,
     Started,
     false},
    // A target relation leaves the removal-relations mark; other types clear it.
    {"TargetRelationKeepsMark",
     true,
     {Relations(RemovalRelations), Relations(TargetDeviceRelation)},
     NotStarted,
     NotStarted,
     true},
    {"BusRelationsClearMark",
     true,
     {Relations(RemovalRelations), Relations(BusRelations)},
     NotStarted,
     NotStarted,
     false},
    {"EjectionRelationsClearMark",
     true,
     {Relations(RemovalRelations), Relations(EjectionRelations)},
     NotStarted,
     NotStarted,
     false},
    {"OtherRequestUnchanged", false, {kStart, kCapabilities}, Started, NotStarted, false},
};

using PnpStateTest = PnpTableTest<StateCase>;

// The states follow the requests; the state requests the filter handles go
// down as successes, every other request with the status it arrived with.
TEST_P(PnpStateTest, Transitions) {
    const StateCase& c = TestCase();
    PDEVICE_OBJECT filter = NewFilter(c.child);
    for (const Step& step : c.steps) {
        Send(filter, step);
    }
    PFILTER_EXTENSION extension = Extension(filter);
    EXPECT_EQ(extension->PnpState, c.state);
    EXPECT_EQ(extension->PreviousPnpState, c.previous);
    EXPECT_EQ(extension->RemovalRelationsSeen != 0, c.removalRelationsSeen);

    const std::set<UCHAR> handled = {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE,
                                     IRP_MN_STOP_DEVICE,         IRP_MN_QUERY_STOP_DEVICE,
                                     IRP_MN_CANCEL_STOP_DEVICE,  IRP_MN_SURPRISE_REMOVAL};
    const auto& received = lowerOf_[filter]->received;
    ASSERT_EQ(received.size(), c.steps.size());
    for (size_t i = 0; i < received.size(); ++i) {
        EXPECT_EQ(received[i].first, c.steps[i].minor);
        EXPECT_EQ(received[i].second,
                  handled.count(received[i].first) != 0 ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED)
            << "request " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Pnp, PnpStateTest,
                         ::testing::Combine(::testing::ValuesIn(kStateCases), PNP_MODES),
                         CaseName<StateCase>);

// ---------------------------------------------------------------------------
// Start.

// The start is finished below before the filter completes it, even when the
// lower driver pends; a removable medium below makes the filter removable.
TEST_P(PnpTest, StartIsSynchronousAndCopiesRemovableMedia) {
    for (bool removable : {true, false}) {
        SCOPED_TRACE(removable ? "removable below" : "fixed below");
        PDEVICE_OBJECT filter = NewBusFilter();
        filter->Characteristics = FILE_DEVICE_SECURE_OPEN;
        Extension(filter)->LowerDevice->Characteristics = removable ? FILE_REMOVABLE_MEDIA : 0;

        hk::IoResult result = Send(filter, kStart);

        EXPECT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_FALSE(result.returnedPending);
        EXPECT_EQ(Extension(filter)->PnpState, Started);
        EXPECT_EQ(filter->Characteristics,
                  ULONG(FILE_DEVICE_SECURE_OPEN | (removable ? FILE_REMOVABLE_MEDIA : 0)));
    }
}

// Each started bus filter holds one control device reference, however often
// it is stopped and started again; child filters hold none.  The device
// stays while any reference does.
TEST_P(PnpTest, OneControlReferencePerStartedBusFilter) {
    PDEVICE_OBJECT first = NewBusFilter();
    PDEVICE_OBJECT second = NewBusFilter();
    PDEVICE_OBJECT child = NewChildFilter();

    Send(first, kStart);
    EXPECT_EQ(DriverState.ControlRefCount, 1);
    EXPECT_NE(DriverState.ControlDevice, nullptr);
    EXPECT_TRUE(Extension(first)->HoldsControlReference);
    Send(first, kStop);
    Send(first, kStart);
    Send(child, kStart);
    EXPECT_EQ(DriverState.ControlRefCount, 1);
    EXPECT_FALSE(Extension(child)->HoldsControlReference);
    Send(second, kStart);
    EXPECT_EQ(DriverState.ControlRefCount, 2);

    RemoveFully(first);
    EXPECT_EQ(DriverState.ControlRefCount, 1);
    EXPECT_NE(DriverState.ControlDevice, nullptr);
    RemoveFully(second);
    EXPECT_EQ(DriverState.ControlRefCount, 0);
    EXPECT_EQ(DriverState.ControlDevice, nullptr);
}

// A start that fails below is answered with its status and changes nothing;
// the removal of a bus filter that never started drops no reference that
// another bus filter holds.
TEST_P(PnpTest, FailedStartTakesNoReference) {
    PDEVICE_OBJECT failing = NewBusFilter();
    PDEVICE_OBJECT started = NewBusFilter();
    lowerOf_[failing]->startStatus = STATUS_UNSUCCESSFUL;

    EXPECT_EQ(Send(failing, kStart).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Extension(failing)->PnpState, NotStarted);
    EXPECT_FALSE(Extension(failing)->HoldsControlReference);
    EXPECT_EQ(DriverState.ControlRefCount, 0);

    Send(started, kStart);
    RemoveFully(failing);
    EXPECT_EQ(DriverState.ControlRefCount, 1);
    EXPECT_NE(DriverState.ControlDevice, nullptr);
}

// ---------------------------------------------------------------------------
// Removal.

struct DeferralCase {
    const char* name;
    bool child;
    std::vector<Step> before;
    bool deferred;
};

const DeferralCase kDeferralCases[] = {
    {"RemovalRelationsQueryRemove", true, {Relations(RemovalRelations), kQueryRemove}, true},
    {"RemovalRelationsTargetRelation",
     true,
     {Relations(RemovalRelations), Relations(TargetDeviceRelation)},
     true},
    {"RemovalRelationsBusRelations",
     true,
     {Relations(RemovalRelations), Relations(BusRelations)},
     false},
    {"RemovalRelationsSurprise", true, {Relations(RemovalRelations), kSurprise}, false},
    {"ChildWithoutRemovalRelations", true, {kQueryRemove}, false},
    {"BusFilterNeverDefers", false, {Relations(RemovalRelations), kQueryRemove}, false},
};

using PnpRemovalTest = PnpTableTest<DeferralCase>;

// A child filter defers the first remove after a removal-relations query: it
// goes down as a success while the filter stays attached, registered and in
// its state; the next remove removes it.  Every other remove removes the
// filter from the registries, the stack and the machine.
TEST_P(PnpRemovalTest, FirstRemoveAfterRemovalRelationsIsDeferred) {
    const DeferralCase& c = TestCase();
    PDEVICE_OBJECT filter = NewFilter(c.child);
    Lower* lower = lowerOf_[filter];
    Send(filter, kStart);
    for (const Step& step : c.before) {
        Send(filter, step);
    }
    PNP_STATE state = Extension(filter)->PnpState;

    EXPECT_EQ(Send(filter, kRemove).status, STATUS_SUCCESS);
    EXPECT_EQ(lower->received.back(), std::make_pair(UCHAR(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS));

    if (c.deferred) {
        ASSERT_TRUE(hk::DeviceExists(filter));
        EXPECT_EQ(lower->device->AttachedDevice, filter);
        EXPECT_EQ(Extension(filter)->PnpState, state);
        EXPECT_TRUE(IsPdoFiltered(lower->device));
        EXPECT_FALSE(Extension(filter)->FirstRemovePending);
        EXPECT_FALSE(Extension(filter)->RemovalRelationsSeen);
        EXPECT_EQ(Send(filter, kRemove).status, STATUS_SUCCESS);
    }
    EXPECT_FALSE(hk::DeviceExists(filter));
    EXPECT_EQ(lower->device->AttachedDevice, nullptr);
    EXPECT_FALSE(IsPdoFiltered(lower->device));
    EXPECT_FALSE(Registered(filter));
    EXPECT_EQ(DriverState.ControlRefCount, 0);
}

INSTANTIATE_TEST_SUITE_P(Pnp, PnpRemovalTest,
                         ::testing::Combine(::testing::ValuesIn(kDeferralCases), PNP_MODES),
                         CaseName<DeferralCase>);

// The removal of any filter makes every remaining bus re-enumerate.
TEST_P(PnpTest, RemovalInvalidatesEveryOtherBus) {
    PDEVICE_OBJECT buses[] = {NewBusFilter(), NewBusFilter(), NewBusFilter()};
    PDEVICE_OBJECT child = NewChildFilter();
    std::set<PDEVICE_OBJECT> remaining = {Extension(buses[1])->Pdo, Extension(buses[2])->Pdo};
    hk::TakeInvalidations();

    for (PDEVICE_OBJECT removed : {buses[0], child}) {
        RemoveFully(removed);
        std::set<PDEVICE_OBJECT> invalidated;
        for (const hk::RelationsInvalidation& entry : hk::TakeInvalidations()) {
            EXPECT_EQ(entry.type, BusRelations);
            invalidated.insert(entry.device);
        }
        EXPECT_EQ(invalidated, remaining);
    }
}

// A bus filter removed while one of its recorded children is the attach
// point of a child filter leaves that child filter orphaned: the flag is set
// and stays set.
TEST_P(PnpTest, OrphanedChildFiltersAreFlaggedForGood) {
    PDEVICE_OBJECT child = NewChildFilter();
    PDEVICE_OBJECT attachPoint = Extension(child)->LowerDevice;
    PDEVICE_OBJECT unrelated = NewLower("unrelated card")->device;
    PDEVICE_OBJECT first = NewBusFilter();
    PDEVICE_OBJECT second = NewBusFilter();
    PDEVICE_OBJECT third = NewBusFilter();
    CHILD_IDENTITY identity = {};
    RecordChild(Extension(first), &identity, unrelated, TRUE);
    RecordChild(Extension(second), &identity, attachPoint, TRUE);

    RemoveFully(first);
    EXPECT_FALSE(DriverState.ChildFiltersOrphaned);
    RemoveFully(second);
    EXPECT_TRUE(DriverState.ChildFiltersOrphaned);
    RemoveFully(third);
    EXPECT_TRUE(DriverState.ChildFiltersOrphaned);
}

INSTANTIATE_TEST_SUITE_P(Pnp, PnpTest, PNP_MODES, LowerModeName);

// ---------------------------------------------------------------------------
// The paging flag on a usage notification.

enum class Above { Nothing, Pageable, NotPageable };

struct UsageCase {
    const char* name;
    Above above;
    bool filterBefore; // the filter is pageable before the notification
    bool lowerPageable;
    bool seenByLower; // the filter is pageable when the notification reaches the lower device
    bool after;
};

const UsageCase kUsageCases[] = {
    {"NothingAboveLowerPageable", Above::Nothing, false, true, true, true},
    {"NothingAboveLowerNotPageable", Above::Nothing, false, false, true, false},
    {"PageableAboveLowerNotPageable", Above::Pageable, false, false, true, false},
    {"NotPageableAboveKeepsTheFlag", Above::NotPageable, true, true, true, true},
    {"NotPageableAboveLeavesItClear", Above::NotPageable, false, true, false, false},
};

using PnpUsageTest = PnpTableTest<UsageCase>;

TEST_P(PnpUsageTest, PagingFlagFollowsAboveThenBelow) {
    const UsageCase& c = TestCase();
    PDEVICE_OBJECT filter = NewBusFilter();
    Lower* lower = lowerOf_[filter];
    lower->device->Flags = (lower->device->Flags & ~ULONG(DO_POWER_PAGABLE)) |
                           (c.lowerPageable ? DO_POWER_PAGABLE : 0);
    filter->Flags =
        (filter->Flags & ~ULONG(DO_POWER_PAGABLE)) | (c.filterBefore ? DO_POWER_PAGABLE : 0);
    if (c.above != Above::Nothing) {
        PDEVICE_OBJECT upper =
            fakes_->CreateDevice("above the filter", fake::PassDownTo(filter), filter);
        upper->Flags |= c.above == Above::Pageable ? DO_POWER_PAGABLE : 0;
        uppers_.push_back(upper);
    }

    EXPECT_EQ(Send(filter, Step{IRP_MN_DEVICE_USAGE_NOTIFICATION}).status, STATUS_NOT_SUPPORTED);

    EXPECT_EQ(lower->filterPagableSeen, c.seenByLower);
    EXPECT_EQ((filter->Flags & DO_POWER_PAGABLE) != 0, c.after);
}

INSTANTIATE_TEST_SUITE_P(Pnp, PnpUsageTest,
                         ::testing::Combine(::testing::ValuesIn(kUsageCases), PNP_MODES),
                         CaseName<UsageCase>);

} // namespace
