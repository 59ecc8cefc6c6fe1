// Relations passes, hidden-child removal and the ejection filter, against a
// fake PCMCIA bus: its FDO answers every relations query with a hand-built
// list (untagged pool, every entry referenced, as a bus driver builds it) and
// its card PDOs answer compatible-ID queries and remove requests.  Requests
// are sent as the PnP manager sends them, and each answer is taken as the
// PnP manager takes it: every entry dereferenced, the list freed.  The
// fixture's teardown then proves that no reference or buffer was lost.

#include <algorithm>
#include <memory>
#include <tuple>

#include "driver_fixture.h"

namespace {

struct Card {
    PDEVICE_OBJECT pdo = nullptr;
    std::vector<std::u16string> ids; // compatible IDs; empty: the query is not supported
    int queries = 0;
    int removes = 0;
};

enum class Runner { Bus, StorageChild, OtherChild };
enum class Fault { None, WorkBlock, SubRequest, Replacement };
// What went up: no list, the lower driver's own list, or a new one.
enum class Outcome { NoList, SameList, NewList };

struct Answered {
    NTSTATUS status = STATUS_PENDING;
    Outcome outcome = Outcome::NoList;
    size_t bytes = 0; // size of the list block handed up
    std::vector<PDEVICE_OBJECT> objects;
};

class ChildControlTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        bus_ = std::make_unique<FakeDriver>("pcmcia");
        fdo_ = bus_->CreateDevice("bus fdo", [this](PDEVICE_OBJECT device, PIRP irp) {
            return BusDispatch(device, irp);
        });
    }

    void TearDown() override {
        RemoveChildFilters();
        for (PDEVICE_OBJECT device : filters_) {
            if (hk::DeviceExists(device)) {
                RemoveFilter(device);
            }
        }
        for (PDEVICE_OBJECT device : uppers_) {
            FakeDriver::DestroyDevice(device);
        }
        for (auto& card : cards_) {
            FakeDriver::DestroyDevice(card->pdo);
        }
        FakeDriver::DestroyDevice(fdo_);
        bus_.reset();
        DriverTest::TearDown();
    }

    Card* NewCard(std::vector<std::u16string> ids) {
        auto card = std::make_unique<Card>();
        Card* raw = card.get();
        raw->ids = std::move(ids);
        raw->pdo = bus_->CreateDevice(
            "card " + std::to_string(cards_.size()),
            [this, raw](PDEVICE_OBJECT, PIRP irp) { return CardDispatch(raw, irp); });
        cards_.push_back(std::move(card));
        return raw;
    }

    // Three cards: a disk, a network card and a CD-ROM.
    void NewStandardCards() {
        NewCard({u"GenDisk", u"PCMCIA\\Disk"});
        NewCard({u"PCMCIA\\NetCard"});
        NewCard({u"GenCdRom"});
    }

    // A filter of the given kind over the bus FDO, as the driver would have
    // made it; a bus filter is registered.
    PDEVICE_OBJECT NewRunner(Runner runner) {
        PDEVICE_OBJECT filter =
            CreateFilter(fdo_, runner == Runner::Bus ? "bus filter" : "child filter");
        PFILTER_EXTENSION extension = Extension(filter);
        extension->StorageChild = runner == Runner::StorageChild;
        extension->OtherChild = runner == Runner::OtherChild;
        if (runner == Runner::Bus) {
            extension->Pdo = fdo_;
            RegisterFilterDevice(filter);
        }
        return filter;
    }

    void List(const std::vector<int>& cards) {
        listed_.clear();
        for (int index : cards) {
            listed_.push_back(cards_[static_cast<size_t>(index)]->pdo);
        }
    }

    static void SetMode(BLOCK_MODE mode, bool suspended) {
        DriverState.BlockMode = mode;
        DriverState.EnforcementSuspended = suspended;
    }

    static hk::IrpSpec PnpRequest(UCHAR minor) {
        hk::IrpSpec spec;
        spec.major = IRP_MJ_PNP;
        spec.minor = minor;
        spec.initialStatus = STATUS_NOT_SUPPORTED;
        return spec;
    }

    // A relations query as the PnP manager sends it, and the answer taken as
    // the PnP manager takes it.
    Answered QueryRelations(PDEVICE_OBJECT filter, DEVICE_RELATION_TYPE type) {
        hk::IrpSpec spec = PnpRequest(IRP_MN_QUERY_DEVICE_RELATIONS);
        spec.parameters = [type](PIO_STACK_LOCATION stack) {
            stack->Parameters.QueryDeviceRelations.Type = type;
        };
        hk::IoResult result = hk::SendIrp(filter, spec);
        Answered answered;
        answered.status = result.status;
        if (NT_SUCCESS(result.status) && result.information != 0) {
            auto* list = reinterpret_cast<PDEVICE_RELATIONS>(result.information);
            answered.outcome = list == lastList_ ? Outcome::SameList : Outcome::NewList;
            for (const hk::PoolBlock& block : hk::OutstandingPool()) {
                if (block.address == list) {
                    answered.bytes = block.size;
                }
            }
            answered.objects.assign(list->Objects, list->Objects + list->Count);
            for (PDEVICE_OBJECT object : answered.objects) {
                ObDereferenceObject(object);
            }
            ExFreePool(list);
        }
        return answered;
    }

    std::vector<PDEVICE_OBJECT> Pdos(const std::vector<int>& cards) const {
        std::vector<PDEVICE_OBJECT> pdos;
        for (int index : cards) {
            pdos.push_back(cards_[static_cast<size_t>(index)]->pdo);
        }
        return pdos;
    }

    // The records of a filter's latest pass as (card, attached).
    std::vector<std::pair<int, bool>> Records(PDEVICE_OBJECT filter) const {
        std::vector<std::pair<int, bool>> records;
        PFILTER_EXTENSION extension = Extension(filter);
        for (ULONG i = 0; i < extension->ChildCount; ++i) {
            int card = -1;
            for (size_t c = 0; c < cards_.size(); ++c) {
                if (cards_[c]->pdo == extension->Children[i].Pdo) {
                    card = static_cast<int>(c);
                }
            }
            records.emplace_back(card, extension->Children[i].Attached != 0);
        }
        return records;
    }

    // The child filter directly over each card: 'S' storage, 'O' non-storage,
    // '-' none.
    std::string FilterKinds() const {
        std::string kinds;
        for (const auto& card : cards_) {
            PDEVICE_OBJECT above = card->pdo->AttachedDevice;
            if (above == nullptr || above->DriverObject != driver_) {
                kinds += '-';
            } else {
                PFILTER_EXTENSION extension = Extension(above);
                kinds += extension->StorageChild && !extension->OtherChild   ? 'S'
                         : extension->OtherChild && !extension->StorageChild ? 'O'
                                                                             : '?';
            }
        }
        return kinds;
    }

    std::string Counts(int Card::*field) const {
        std::string counts;
        for (const auto& card : cards_) {
            counts += std::to_string((*card).*field);
        }
        return counts;
    }

    LowerMode mode_ = LowerMode::Synchronous;
    std::unique_ptr<FakeDriver> bus_;
    PDEVICE_OBJECT fdo_ = nullptr;
    std::vector<std::unique_ptr<Card>> cards_;
    std::vector<PDEVICE_OBJECT> uppers_;
    std::vector<PDEVICE_OBJECT> listed_;   // what the bus answers every relations query with
    PDEVICE_RELATIONS lastList_ = nullptr; // the list it answered with last
    bool failReplacement_ = false;         // fail the next untagged allocation after answering
    std::vector<std::pair<PDEVICE_OBJECT, UCHAR>> log_; // PnP requests the fakes received

private:
    static PDEVICE_RELATIONS NewList(const std::vector<PDEVICE_OBJECT>& objects) {
        auto* list = static_cast<PDEVICE_RELATIONS>(
            ExAllocatePool(NonPagedPool, FIELD_OFFSET(DEVICE_RELATIONS, Objects) +
                                             objects.size() * sizeof(PDEVICE_OBJECT)));
        list->Count = static_cast<ULONG>(objects.size());
        for (size_t i = 0; i < objects.size(); ++i) {
            ObReferenceObject(objects[i]);
            list->Objects[i] = objects[i];
        }
        return list;
    }

    static PWCHAR NewMultiString(const std::vector<std::u16string>& ids) {
        size_t units = 1;
        for (const std::u16string& id : ids) {
            units += id.size() + 1;
        }
        auto* buffer = static_cast<PWCHAR>(
            ExAllocatePoolWithTag(NonPagedPool, units * sizeof(WCHAR), hk::TagFromText("Card")));
        PWCHAR next = buffer;
        for (const std::u16string& id : ids) {
            std::copy(id.begin(), id.end(), next);
            next += id.size();
            *next++ = 0;
        }
        *next = 0;
        return buffer;
    }

    NTSTATUS BusDispatch(PDEVICE_OBJECT device, PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        log_.emplace_back(device, stack->MinorFunction);
        if (stack->MinorFunction == IRP_MN_QUERY_DEVICE_RELATIONS) {
            lastList_ = NewList(listed_);
            if (failReplacement_) {
                failReplacement_ = false;
                hk::FailNextAllocationWithTag(hk::TagFromText("None"));
            }
            return Answer(mode_, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(lastList_))(device,
                                                                                         irp);
        }
        NTSTATUS status =
            stack->MinorFunction == IRP_MN_REMOVE_DEVICE ? STATUS_SUCCESS : irp->IoStatus.Status;
        return Answer(mode_, status)(device, irp);
    }

    NTSTATUS CardDispatch(Card* card, PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        log_.emplace_back(card->pdo, stack->MinorFunction);
        switch (stack->MinorFunction) {
        case IRP_MN_QUERY_ID:
            card->queries++;
            if (stack->Parameters.QueryId.IdType == BusQueryCompatibleIDs && !card->ids.empty()) {
                return Answer(mode_, STATUS_SUCCESS,
                              reinterpret_cast<ULONG_PTR>(NewMultiString(card->ids)))(card->pdo,
                                                                                      irp);
            }
            return Answer(mode_, irp->IoStatus.Status)(card->pdo, irp);
        case IRP_MN_REMOVE_DEVICE:
            card->removes++;
            return Answer(mode_, STATUS_SUCCESS)(card->pdo, irp);
        default:
            return Answer(mode_, irp->IoStatus.Status)(card->pdo, irp);
        }
    }

    // Child filters the driver created end as the PnP manager ends them: with
    // a remove request through the driver's own PnP dispatch.
    void RemoveChildFilters() {
        std::vector<PDEVICE_OBJECT> children;
        for (PDEVICE_OBJECT device = driver_->DeviceObject; device != nullptr;
             device = device->NextDevice) {
            if (std::find(filters_.begin(), filters_.end(), device) == filters_.end() &&
                IsFilterDevice(device) && !IsBusFilter(Extension(device))) {
                children.push_back(device);
            }
        }
        for (PDEVICE_OBJECT child : children) {
            if (hk::DeviceExists(child)) {
                EXPECT_EQ(hk::SendIrp(child, PnpRequest(IRP_MN_REMOVE_DEVICE)).status,
                          STATUS_SUCCESS);
            }
        }
    }
};

using RecordList = std::vector<std::pair<int, bool>>;

// ---------------------------------------------------------------------------
// The pass, by filter kind and mode.  Cards: 0 a disk ("GenDisk"), 1 a network
// card, 2 a CD-ROM ("GenCdRom").

struct PassCase {
    const char* name;
    Runner runner;
    BLOCK_MODE mode;
    bool suspended;
    std::vector<int> listed;
    std::vector<int> handedUp;
    RecordList records;
    std::string queries; // identity queries each card received
    std::string filters; // child filter over each card afterwards
};

const PassCase kPassCases[] = {
    // A bus filter outside "ALLBLOCK" keeps every child and filters it by kind.
    {"BusEmptyList", Runner::Bus, BlockModeNone, false, {}, {}, {}, "000", "---"},
    {"BusNone",
     Runner::Bus,
     BlockModeNone,
     false,
     {0, 1, 2},
     {0, 1, 2},
     {{0, true}, {1, true}, {2, true}},
     "111",
     "SOS"},
    {"BusOn",
     Runner::Bus,
     BlockModeOn,
     false,
     {0, 1, 2},
     {0, 1, 2},
     {{0, true}, {1, true}, {2, true}},
     "111",
     "SOS"},
    {"BusBlock",
     Runner::Bus,
     BlockModeBlock,
     false,
     {0, 1, 2},
     {0, 1, 2},
     {{0, true}, {1, true}, {2, true}},
     "111",
     "SOS"},
    {"BusAllBlockSuspended",
     Runner::Bus,
     BlockModeAllBlock,
     true,
     {0, 1, 2},
     {0, 1, 2},
     {{0, true}, {1, true}, {2, true}},
     "111",
     "SOS"},
    // The second occurrence of a child still asks, but gets no second filter
    // or record.
    {"BusNoneDuplicate",
     Runner::Bus,
     BlockModeNone,
     false,
     {0, 0, 1},
     {0, 0, 1},
     {{0, true}, {1, true}},
     "210",
     "SO-"},
    // Under "ALLBLOCK" every child is hidden unasked; a duplicate is recorded
    // once and both entries leave the list.
    {"BusAllBlock",
     Runner::Bus,
     BlockModeAllBlock,
     false,
     {0, 1, 2},
     {},
     {{0, false}, {1, false}, {2, false}},
     "000",
     "---"},
    {"BusAllBlockDuplicate",
     Runner::Bus,
     BlockModeAllBlock,
     false,
     {0, 0, 1},
     {},
     {{0, false}, {1, false}},
     "000",
     "---"},
    {"BusAllBlockEmptyList", Runner::Bus, BlockModeAllBlock, false, {}, {}, {}, "000", "---"},
    // A storage child filter passes every list through, asking nothing.
    {"StorageChildNone",
     Runner::StorageChild,
     BlockModeNone,
     false,
     {0, 1},
     {0, 1},
     {},
     "000",
     "---"},
    {"StorageChildAllBlock",
     Runner::StorageChild,
     BlockModeAllBlock,
     false,
     {0, 1},
     {0, 1},
     {},
     "000",
     "---"},
    // A non-storage child filter treats its lists as a bus filter does.
    {"OtherChildNone",
     Runner::OtherChild,
     BlockModeNone,
     false,
     {0, 1},
     {0, 1},
     {{0, true}, {1, true}},
     "110",
     "SO-"},
    {"OtherChildAllBlock",
     Runner::OtherChild,
     BlockModeAllBlock,
     false,
     {0, 1},
     {},
     {{0, false}, {1, false}},
     "000",
     "---"},
};

template <typename Case>
std::string CaseName(const ::testing::TestParamInfo<std::tuple<Case, LowerMode>>& info) {
    return std::string(std::get<0>(info.param).name) +
           (std::get<1>(info.param) == LowerMode::Synchronous ? "Synchronous" : "Pending");
}

class RelationsPassTest : public ChildControlTest,
                          public ::testing::WithParamInterface<std::tuple<PassCase, LowerMode>> {
protected:
    void SetUp() override {
        ChildControlTest::SetUp();
        mode_ = std::get<1>(GetParam());
    }
};

// Every pass hands up a new list of exactly the children that stay, in their
// order, records what it hid or filtered, and leaves the running filter's own
// kind bytes alone.
TEST_P(RelationsPassTest, HandsUpTheChildrenThatStay) {
    const PassCase& c = std::get<0>(GetParam());
    NewStandardCards();
    PDEVICE_OBJECT filter = NewRunner(c.runner);
    SetMode(c.mode, c.suspended);
    List(c.listed);

    Answered answer = QueryRelations(filter, BusRelations);

    EXPECT_EQ(answer.status, STATUS_SUCCESS);
    EXPECT_EQ(answer.outcome, Outcome::NewList);
    EXPECT_EQ(answer.objects, Pdos(c.handedUp));
    EXPECT_EQ(answer.bytes,
              FIELD_OFFSET(DEVICE_RELATIONS, Objects) + c.handedUp.size() * sizeof(PDEVICE_OBJECT));
    EXPECT_EQ(Records(filter), c.records);
    EXPECT_EQ(Counts(&Card::queries), c.queries);
    EXPECT_EQ(FilterKinds(), c.filters);
    EXPECT_EQ(Extension(filter)->StorageChild != 0, c.runner == Runner::StorageChild);
    EXPECT_EQ(Extension(filter)->OtherChild != 0, c.runner == Runner::OtherChild);
    EXPECT_EQ(Counts(&Card::removes), "000");
    if (!c.records.empty()) {
        // Every identity holds just the three labels.
        CHILD_IDENTITY expected = {};
        memcpy(expected.Vid, "VID", 4);
        memcpy(expected.Pid, "PID", 4);
        memcpy(expected.SerialNumber, "S/N", 4);
        EXPECT_EQ(memcmp(&Extension(filter)->Children[0].Identity, &expected, sizeof(expected)), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Relations, RelationsPassTest,
                         ::testing::Combine(::testing::ValuesIn(kPassCases),
                                            ::testing::Values(LowerMode::Synchronous,
                                                              LowerMode::Pending)),
                         CaseName<PassCase>);

// ---------------------------------------------------------------------------
// The storage verdict: the first compatible ID, compared whole, in any case.

struct VerdictCase {
    const char* name;
    std::vector<std::u16string> ids;
    char filter;
};

const VerdictCase kVerdictCases[] = {
    {"GenDiskFirst", {u"GenDisk", u"PCMCIA\\Disk"}, 'S'},
    {"GenCdRomFirst", {u"GenCdRom"}, 'S'},
    {"UpperCase", {u"GENDISK"}, 'S'},
    {"MixedCase", {u"gEnCdRoM"}, 'S'},
    {"GenDiskOnlySecond", {u"PCMCIA\\Disk", u"GenDisk"}, 'O'},
    {"OnlyBeginsWithGenDisk", {u"GenDiskDrive"}, 'O'},
    {"QueryNotSupported", {}, 'O'},
};

class RelationsVerdictTest
    : public ChildControlTest,
      public ::testing::WithParamInterface<std::tuple<VerdictCase, LowerMode>> {
protected:
    void SetUp() override {
        ChildControlTest::SetUp();
        mode_ = std::get<1>(GetParam());
    }
};

// The child filter's kind follows the verdict; it sits directly on the card,
// is registered, and starts as a fresh filter.
TEST_P(RelationsVerdictTest, ChildFilterKindFollowsTheFirstId) {
    const VerdictCase& c = std::get<0>(GetParam());
    Card* card = NewCard(c.ids);
    PDEVICE_OBJECT bus = NewRunner(Runner::Bus);
    List({0});

    Answered answer = QueryRelations(bus, BusRelations);

    EXPECT_EQ(answer.objects, Pdos({0}));
    EXPECT_EQ(FilterKinds(), std::string(1, c.filter));
    PDEVICE_OBJECT child = card->pdo->AttachedDevice;
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(Extension(child)->Self, child);
    EXPECT_EQ(Extension(child)->LowerDevice, card->pdo);
    EXPECT_EQ(Extension(child)->Pdo, nullptr);
    EXPECT_EQ(Extension(child)->PnpState, NotStarted);
    EXPECT_TRUE(Extension(child)->FirstRemovePending);
    EXPECT_EQ(child->Flags & DO_DEVICE_INITIALIZING, 0u);
    EXPECT_TRUE(IsPdoFiltered(card->pdo));
    EXPECT_TRUE(IsBusFilter(Extension(bus)));
}

INSTANTIATE_TEST_SUITE_P(Relations, RelationsVerdictTest,
                         ::testing::Combine(::testing::ValuesIn(kVerdictCases),
                                            ::testing::Values(LowerMode::Synchronous,
                                                              LowerMode::Pending)),
                         CaseName<VerdictCase>);

// ---------------------------------------------------------------------------
// Resource failures.  No failure hands up a child the pass hid, and none
// leaks a list or a reference (the teardown checks both).

struct FailureCase {
    const char* name;
    Fault fault;
    BLOCK_MODE mode;
    std::vector<int> previous; // listed in an undisturbed pass before (empty: none)
    std::vector<int> listed;
    NTSTATUS status;
    Outcome outcome;
    std::vector<int> handedUp;
    RecordList records;
    std::string removes;
    std::string filters;
};

const FailureCase kFailureCases[] = {
    // Without a work block the query fails and its list is released: the
    // receiver of a failed answer never reads it.  The records stay.
    {"WorkBlockAllBlock",
     Fault::WorkBlock,
     BlockModeAllBlock,
     {0},
     {0, 1},
     STATUS_INSUFFICIENT_RESOURCES,
     Outcome::NoList,
     {},
     {{0, false}},
     "000",
     "---"},
    {"WorkBlockPassThrough",
     Fault::WorkBlock,
     BlockModeNone,
     {},
     {0, 1},
     STATUS_INSUFFICIENT_RESOURCES,
     Outcome::NoList,
     {},
     {},
     "000",
     "---"},
    // Without a sub-request the pass stops asking: the remaining children go
    // up in the lower driver's list, unfiltered and unrecorded.
    {"SubRequestPassThrough",
     Fault::SubRequest,
     BlockModeNone,
     {},
     {0, 1, 2},
     STATUS_SUCCESS,
     Outcome::SameList,
     {0, 1, 2},
     {},
     "000",
     "---"},
    // Under "ALLBLOCK" the only sub-request is a remove request: without it
    // the vanished child gets none, and the list still hides every child.
    {"SubRequestAllBlock",
     Fault::SubRequest,
     BlockModeAllBlock,
     {0, 1},
     {1},
     STATUS_SUCCESS,
     Outcome::NewList,
     {},
     {{1, false}},
     "000",
     "---"},
    // Without a replacement the lower driver's list goes up holding exactly
    // the children that stay.
    {"ReplacementAllBlock",
     Fault::Replacement,
     BlockModeAllBlock,
     {},
     {0, 1},
     STATUS_SUCCESS,
     Outcome::SameList,
     {},
     {{0, false}, {1, false}},
     "00",
     "--"},
    {"ReplacementAllBlockVanished",
     Fault::Replacement,
     BlockModeAllBlock,
     {0, 1},
     {1},
     STATUS_SUCCESS,
     Outcome::SameList,
     {},
     {{1, false}},
     "10",
     "--"},
    {"ReplacementPassThrough",
     Fault::Replacement,
     BlockModeNone,
     {},
     {0, 1},
     STATUS_SUCCESS,
     Outcome::SameList,
     {0, 1},
     {{0, true}, {1, true}},
     "00",
     "SO"},
};

class RelationsFailureTest
    : public ChildControlTest,
      public ::testing::WithParamInterface<std::tuple<FailureCase, LowerMode>> {
protected:
    void SetUp() override {
        ChildControlTest::SetUp();
        mode_ = std::get<1>(GetParam());
    }
};

TEST_P(RelationsFailureTest, NeverHandsUpAHiddenChild) {
    const FailureCase& c = std::get<0>(GetParam());
    NewCard({u"GenDisk"});
    NewCard({u"PCMCIA\\NetCard"});
    if (c.removes.size() == 3) {
        NewCard({u"GenCdRom"});
    }
    PDEVICE_OBJECT bus = NewRunner(Runner::Bus);
    SetMode(c.mode, false);
    if (!c.previous.empty()) {
        List(c.previous);
        QueryRelations(bus, BusRelations);
    }

    List(c.listed);
    switch (c.fault) {
    case Fault::WorkBlock:
        hk::FailNextAllocationWithTag(RELATIONS_WORK_TAG);
        break;
    case Fault::SubRequest:
        hk::FailNextIrpAllocation();
        break;
    case Fault::Replacement:
        failReplacement_ = true;
        break;
    case Fault::None:
        break;
    }
    Answered answer = QueryRelations(bus, BusRelations);

    EXPECT_EQ(answer.status, c.status);
    EXPECT_EQ(answer.outcome, c.outcome);
    EXPECT_EQ(answer.objects, Pdos(c.handedUp));
    EXPECT_EQ(Records(bus), c.records);
    EXPECT_EQ(Counts(&Card::removes), c.removes);
    EXPECT_EQ(FilterKinds(), c.filters);
}

INSTANTIATE_TEST_SUITE_P(Relations, RelationsFailureTest,
                         ::testing::Combine(::testing::ValuesIn(kFailureCases),
                                            ::testing::Values(LowerMode::Synchronous,
                                                              LowerMode::Pending)),
                         CaseName<FailureCase>);

// ---------------------------------------------------------------------------
// Stories over both ways of answering.

class ChildControlStoryTest : public ChildControlTest,
                              public ::testing::WithParamInterface<LowerMode> {
protected:
    void SetUp() override {
        ChildControlTest::SetUp();
        mode_ = GetParam();
    }

    std::vector<int> ManyCards(int count) {
        std::vector<int> all;
        for (int i = 0; i < count; ++i) {
            NewCard({u"PCMCIA\\NetCard"});
            all.push_back(i);
        }
        return all;
    }
};

using RelationsCapacityTest = ChildControlStoryTest;
using RelationsTargetTest = ChildControlStoryTest;
using HiddenChildrenTest = ChildControlStoryTest;

// A list longer than the records under "ALLBLOCK": every entry still leaves
// the list.  Only the first 128 are recorded, so only they are sent a remove
// once the bus no longer lists them.
TEST_P(RelationsCapacityTest, AllBlockHidesEveryEntryOfALongList) {
    std::vector<int> all = ManyCards(200);
    PDEVICE_OBJECT bus = NewRunner(Runner::Bus);
    SetMode(BlockModeAllBlock, false);
    List(all);

    Answered answer = QueryRelations(bus, BusRelations);
    EXPECT_EQ(answer.outcome, Outcome::NewList);
    EXPECT_TRUE(answer.objects.empty());
    ASSERT_EQ(Extension(bus)->ChildCount, ULONG(CHILD_LIST_CAPACITY));
    EXPECT_EQ(Extension(bus)->Children[CHILD_LIST_CAPACITY - 1].Pdo, cards_[127]->pdo);

    List({});
    QueryRelations(bus, BusRelations);
    EXPECT_EQ(Counts(&Card::removes), std::string(128, '1') + std::string(72, '0'));
}

// Outside "ALLBLOCK" every entry of a long list goes up, in order, although
// the records and the attach-pair registry hold 128: the cards past them get
// no child filter, and no child filter exists unregistered.
TEST_P(RelationsCapacityTest, PassThroughHandsUpEveryEntryOfALongList) {
    std::vector<int> all = ManyCards(200);
    PDEVICE_OBJECT bus = NewRunner(Runner::Bus);
    List(all);

    Answered answer = QueryRelations(bus, BusRelations);
    EXPECT_EQ(answer.objects, Pdos(all));
    EXPECT_EQ(Extension(bus)->ChildCount, ULONG(CHILD_LIST_CAPACITY));
    EXPECT_EQ(DriverState.PairCount, ULONG(ATTACH_PAIR_CAPACITY));
    EXPECT_EQ(FilterKinds(), std::string(128, 'O') + std::string(72, '-'));
}

// Outside "ALLBLOCK" a target-relation answer on a bus filter names the
// controller itself, which receives a child filter on top of the bus
// filter's own stack and is recorded as filtered; a later answer finds it
// filtered.  The controller never receives a remove request.
TEST_P(RelationsTargetTest, OutsideAllBlockTheControllerStackIsFiltered) {
    PDEVICE_OBJECT bus = NewRunner(Runner::Bus);
    listed_ = {fdo_};

    Answered first = QueryRelations(bus, TargetDeviceRelation);
    EXPECT_EQ(first.objects, std::vector<PDEVICE_OBJECT>{fdo_});
    PDEVICE_OBJECT child = bus->AttachedDevice;
    ASSERT_NE(child, nullptr);
    EXPECT_TRUE(Extension(child)->OtherChild);
    EXPECT_EQ(Extension(child)->LowerDevice, bus);
    ASSERT_EQ(Extension(bus)->ChildCount, 1u);
    EXPECT_EQ(Extension(bus)->Children[0].Pdo, fdo_);
    EXPECT_TRUE(Extension(bus)->Children[0].Attached);

    Answered second = QueryRelations(bus, TargetDeviceRelation);
    EXPECT_EQ(second.objects, std::vector<PDEVICE_OBJECT>{fdo_});
    EXPECT_EQ(Extension(bus)->ChildCount, 0u);
    EXPECT_EQ(
        std::count(log_.begin(), log_.end(), std::make_pair(fdo_, UCHAR(IRP_MN_REMOVE_DEVICE))), 0);
}

// Under "ALLBLOCK" a target-relation answer goes up unchanged, on a bus
// filter and on a non-storage child filter alike: the device it names is
// neither asked, hidden nor recorded, and the records of the latest pass
// stand, so a hidden child still listed draws no remove.
TEST_P(RelationsTargetTest, UnderAllBlockTheAnswerPassesUnchanged) {
    Card* card = NewCard({u"GenDisk"});
    SetMode(BlockModeAllBlock, false);
    for (Runner runner : {Runner::Bus, Runner::OtherChild}) {
        PDEVICE_OBJECT filter = NewRunner(runner);
        List({0});
        QueryRelations(filter, BusRelations);

        listed_ = {fdo_};
        Answered answer = QueryRelations(filter, TargetDeviceRelation);
        EXPECT_EQ(answer.outcome, Outcome::SameList);
        EXPECT_EQ(answer.objects, std::vector<PDEVICE_OBJECT>{fdo_});
        EXPECT_EQ(Records(filter), (RecordList{{0, false}}));

        List({0});
        QueryRelations(filter, BusRelations);
        EXPECT_EQ(card->removes, 0);
        UnregisterFilterDevice(filter);
        RemoveFilter(filter);
    }
    for (const auto& entry : log_) {
        EXPECT_NE(entry, std::make_pair(fdo_, UCHAR(IRP_MN_QUERY_ID)));
        EXPECT_NE(entry, std::make_pair(fdo_, UCHAR(IRP_MN_REMOVE_DEVICE)));
    }
}

// A hidden card receives one remove request, straight to its PDO, in the
// first pass that no longer lists it, and none while it stays listed.  A
// card whose record changes from hidden to filtered counts as gone too.  A
// filtered card that is pulled receives none from the driver.
TEST_P(HiddenChildrenTest, VanishedHiddenChildReceivesOneRemove) {
    NewStandardCards();
    Card* pulled = cards_[0].get();
    Card* staying = cards_[1].get();
    // Something above the pulled card's PDO sees no remove: it goes to the PDO.
    uppers_.push_back(bus_->CreateDevice(
        "above card 0",
        [this, pulled](PDEVICE_OBJECT device, PIRP irp) {
            log_.emplace_back(device, IoGetCurrentIrpStackLocation(irp)->MinorFunction);
            return fake::PassDownTo(pulled->pdo)(device, irp);
        },
        pulled->pdo));
    PDEVICE_OBJECT bus = NewRunner(Runner::Bus);
    SetMode(BlockModeAllBlock, false);

    List({0, 1});
    QueryRelations(bus, BusRelations);
    EXPECT_EQ(Counts(&Card::removes), "000");

    log_.clear();
    List({1});
    QueryRelations(bus, BusRelations);
    EXPECT_EQ(Counts(&Card::removes), "100");
    EXPECT_EQ(std::count_if(log_.begin(), log_.end(),
                            [](const auto& entry) { return entry.second == IRP_MN_REMOVE_DEVICE; }),
              1);

    QueryRelations(bus, BusRelations);
    EXPECT_EQ(Counts(&Card::removes), "100");

    // Suspended, the staying card receives a child filter; its record is no
    // longer the hidden one, so it is sent a remove although still listed.
    SetMode(BlockModeAllBlock, true);
    QueryRelations(bus, BusRelations);
    EXPECT_EQ(FilterKinds(), "-O-");
    EXPECT_EQ(staying->removes, 1);

    List({});
    QueryRelations(bus, BusRelations);
    EXPECT_EQ(Counts(&Card::removes), "110");
}

// A bus filter removed with three hidden children sends each a remove, in
// record order, before its own remove goes down; a filtered record draws none.
TEST_P(HiddenChildrenTest, RemovedFilterRemovesItsHiddenChildrenFirst) {
    NewStandardCards();
    Card* filtered = NewCard({u"PCMCIA\\Modem"});
    PDEVICE_OBJECT bus = NewRunner(Runner::Bus);
    SetMode(BlockModeAllBlock, false);
    List({2, 0, 1});
    QueryRelations(bus, BusRelations);
    CHILD_IDENTITY identity = {};
    RecordChild(Extension(bus), &identity, filtered->pdo, TRUE);

    log_.clear();
    EXPECT_EQ(hk::SendIrp(bus, PnpRequest(IRP_MN_REMOVE_DEVICE)).status, STATUS_SUCCESS);

    std::vector<std::pair<PDEVICE_OBJECT, UCHAR>> expected = {
        {cards_[2]->pdo, IRP_MN_REMOVE_DEVICE},
        {cards_[0]->pdo, IRP_MN_REMOVE_DEVICE},
        {cards_[1]->pdo, IRP_MN_REMOVE_DEVICE},
        {fdo_, IRP_MN_REMOVE_DEVICE},
    };
    EXPECT_EQ(log_, expected);
    EXPECT_FALSE(hk::DeviceExists(bus));
}

INSTANTIATE_TEST_SUITE_P(Relations, RelationsCapacityTest,
                         ::testing::Values(LowerMode::Synchronous, LowerMode::Pending),
                         LowerModeName);
INSTANTIATE_TEST_SUITE_P(Relations, RelationsTargetTest,
                         ::testing::Values(LowerMode::Synchronous, LowerMode::Pending),
                         LowerModeName);
INSTANTIATE_TEST_SUITE_P(Hidden, HiddenChildrenTest,
                         ::testing::Values(LowerMode::Synchronous, LowerMode::Pending),
                         LowerModeName);

// ---------------------------------------------------------------------------
// Ejection relations: under "ALLBLOCK", not suspended, every child a bus
// filter recorded (hidden or filtered) leaves the list.

struct EjectionCase {
    const char* name;
    BLOCK_MODE mode;
    bool suspended;
    Fault fault;
    RecordList recorded; // records of the registered bus filter
    std::vector<int> listed;
    NTSTATUS status;
    Outcome outcome;
    std::vector<int> handedUp;
};

const EjectionCase kEjectionCases[] = {
    {"NoRecordedChildSameList",
     BlockModeAllBlock,
     false,
     Fault::None,
     {{0, false}},
     {1, 2},
     STATUS_SUCCESS,
     Outcome::SameList,
     {1, 2}},
    {"AllRecordedEmptyList",
     BlockModeAllBlock,
     false,
     Fault::None,
     {{0, false}, {1, false}},
     {0, 1},
     STATUS_SUCCESS,
     Outcome::NewList,
     {}},
    {"FilteredRecordDropsToo",
     BlockModeAllBlock,
     false,
     Fault::None,
     {{0, true}},
     {0, 1},
     STATUS_SUCCESS,
     Outcome::NewList,
     {1}},
    {"EveryOccurrenceDrops",
     BlockModeAllBlock,
     false,
     Fault::None,
     {{0, false}},
     {0, 1, 0},
     STATUS_SUCCESS,
     Outcome::NewList,
     {1}},
    {"SuspendedUnchanged",
     BlockModeAllBlock,
     true,
     Fault::None,
     {{0, false}},
     {0, 1},
     STATUS_SUCCESS,
     Outcome::SameList,
     {0, 1}},
    {"BlockUnchanged",
     BlockModeBlock,
     false,
     Fault::None,
     {{0, false}},
     {0, 1},
     STATUS_SUCCESS,
     Outcome::SameList,
     {0, 1}},
    // A work block is needed in every mode; without it the query fails and
    // its list is released.
    {"WorkBlockFailsOutsideAllBlock",
     BlockModeNone,
     false,
     Fault::WorkBlock,
     {},
     {0},
     STATUS_INSUFFICIENT_RESOURCES,
     Outcome::NoList,
     {}},
    {"WorkBlockFailsUnderAllBlock",
     BlockModeAllBlock,
     false,
     Fault::WorkBlock,
     {{0, false}},
     {0, 1},
     STATUS_INSUFFICIENT_RESOURCES,
     Outcome::NoList,
     {}},
    // Without a replacement the lower driver's list goes up without the
    // dropped entries.
    {"ReplacementFails",
     BlockModeAllBlock,
     false,
     Fault::Replacement,
     {{0, false}},
     {0, 1, 2},
     STATUS_SUCCESS,
     Outcome::SameList,
     {1, 2}},
};

class EjectionTest : public ChildControlTest,
                     public ::testing::WithParamInterface<std::tuple<EjectionCase, LowerMode>> {
protected:
    void SetUp() override {
        ChildControlTest::SetUp();
        mode_ = std::get<1>(GetParam());
    }
};

TEST_P(EjectionTest, RecordedChildrenLeaveTheList) {
    const EjectionCase& c = std::get<0>(GetParam());
    NewStandardCards();
    PDEVICE_OBJECT bus = NewRunner(Runner::Bus);
    CHILD_IDENTITY identity = {};
    for (const auto& record : c.recorded) {
        RecordChild(Extension(bus), &identity, cards_[static_cast<size_t>(record.first)]->pdo,
                    record.second);
    }
    SetMode(c.mode, c.suspended);
    List(c.listed);
    if (c.fault == Fault::WorkBlock) {
        hk::FailNextAllocationWithTag(RELATIONS_WORK_TAG);
    }
    failReplacement_ = c.fault == Fault::Replacement;

    Answered answer = QueryRelations(bus, EjectionRelations);

    EXPECT_EQ(answer.status, c.status);
    EXPECT_EQ(answer.outcome, c.outcome);
    EXPECT_EQ(answer.objects, Pdos(c.handedUp));
    if (c.outcome == Outcome::NewList) {
        EXPECT_EQ(answer.bytes, FIELD_OFFSET(DEVICE_RELATIONS, Objects) +
                                    c.handedUp.size() * sizeof(PDEVICE_OBJECT));
    }
    // The ejection filter never asks or removes.
    EXPECT_EQ(Counts(&Card::queries), "000");
    EXPECT_EQ(Counts(&Card::removes), "000");
}

INSTANTIATE_TEST_SUITE_P(Ejection, EjectionTest,
                         ::testing::Combine(::testing::ValuesIn(kEjectionCases),
                                            ::testing::Values(LowerMode::Synchronous,
                                                              LowerMode::Pending)),
                         CaseName<EjectionCase>);

} // namespace
