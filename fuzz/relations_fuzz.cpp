// Relation lists handed to both completion routines: any count up to 1000,
// entries repeated, foreign device objects (a device of another driver, and
// cards both buses name), every relation type, every filter kind, every
// block mode with enforcement suspended or not, lower drivers answering at
// once or from another thread, with failures of the pool, of the identity
// query's request and of child filter creation at any point of a pass.
//
// After each pass the answer is taken as the PnP manager takes it.  It must
// be a subsequence of the lower driver's list, drop exactly what the mode
// says, and leave the records well formed; after the input every device is
// removed and the host kernel must hold nothing.

#include <algorithm>
#include <memory>
#include <set>

#include "fuzz/fuzz_support.h"
#include "sys/driver.h"

namespace {

enum class Ids { Disk, CdRom, Net, Unsupported, NoBuffer, LowerCaseDisk, Kinds };
enum class Fault { None, Pool, Irp, Device, Replacement, Kinds };

struct Object {
    PDEVICE_OBJECT device = nullptr;
    Ids ids = Ids::Net;
};

struct Plan {
    std::vector<PDEVICE_OBJECT> listed; // what the bus answers with
    NTSTATUS status = STATUS_SUCCESS;   // its answer's status
    bool nullList = false;              // success without a list
    bool pending = false;               // answers from another thread
    Fault fault = Fault::None;
    int faultAt = 0;      // identity queries answered before the fault is armed
    int queries = 0;      // identity queries answered in this pass
    bool busDown = false; // the bus's list could not be allocated
};

Plan gPlan;

NTSTATUS Answer(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    return gPlan.pending ? fuzz::CompleteLater(irp, status, information)
                         : fuzz::Complete(irp, status, information);
}

void ArmAfterQueries() {
    if (gPlan.queries != gPlan.faultAt) {
        return;
    }
    if (gPlan.fault == Fault::Irp) {
        hk::FailNextIrpAllocation();
    } else if (gPlan.fault == Fault::Device) {
        hk::FailNextDeviceCreation();
    }
}

NTSTATUS ChildDispatch(Object* object, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction != IRP_MJ_PNP) {
        return fuzz::Complete(irp, STATUS_SUCCESS);
    }
    if (stack->MinorFunction == IRP_MN_REMOVE_DEVICE) {
        return Answer(irp, STATUS_SUCCESS);
    }
    if (stack->MinorFunction != IRP_MN_QUERY_ID ||
        stack->Parameters.QueryId.IdType != BusQueryCompatibleIDs) {
        return Answer(irp, irp->IoStatus.Status);
    }
    ++gPlan.queries;
    ArmAfterQueries();
    switch (object->ids) {
    case Ids::Disk:
        return Answer(irp, STATUS_SUCCESS,
                      reinterpret_cast<ULONG_PTR>(fuzz::NewMultiString({u"GenDisk", u"X"})));
    case Ids::CdRom:
        return Answer(irp, STATUS_SUCCESS,
                      reinterpret_cast<ULONG_PTR>(fuzz::NewMultiString({u"GenCdRom"})));
    case Ids::Net:
        return Answer(irp, STATUS_SUCCESS,
                      reinterpret_cast<ULONG_PTR>(fuzz::NewMultiString({u"PCMCIA\\Net"})));
    case Ids::LowerCaseDisk:
        return Answer(irp, STATUS_SUCCESS,
                      reinterpret_cast<ULONG_PTR>(fuzz::NewMultiString({u"gendisk"})));
    case Ids::NoBuffer:
        return Answer(irp, STATUS_SUCCESS);
    default:
        return Answer(irp, irp->IoStatus.Status);
    }
}

NTSTATUS BusDispatch(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction != IRP_MJ_PNP) {
        return fuzz::Complete(irp, STATUS_SUCCESS);
    }
    if (stack->MinorFunction == IRP_MN_REMOVE_DEVICE) {
        return fuzz::Complete(irp, STATUS_SUCCESS);
    }
    if (stack->MinorFunction != IRP_MN_QUERY_DEVICE_RELATIONS) {
        return fuzz::Complete(irp, irp->IoStatus.Status);
    }
    if (!NT_SUCCESS(gPlan.status)) {
        return Answer(irp, gPlan.status);
    }
    if (gPlan.nullList) {
        return Answer(irp, STATUS_SUCCESS);
    }
    PDEVICE_RELATIONS list = fuzz::NewRelationList(gPlan.listed);
    if (list == nullptr) {
        gPlan.busDown = true;
        return Answer(irp, STATUS_INSUFFICIENT_RESOURCES);
    }
    if (gPlan.fault == Fault::Replacement) {
        hk::FailNextAllocationWithTag(hk::TagFromText("None"));
    }
    return Answer(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(list));
}

bool IsSubsequence(const std::vector<PDEVICE_OBJECT>& part,
                   const std::vector<PDEVICE_OBJECT>& whole) {
    size_t at = 0;
    for (PDEVICE_OBJECT entry : part) {
        while (at < whole.size() && whole[at] != entry) {
            ++at;
        }
        if (at == whole.size()) {
            return false;
        }
        ++at;
    }
    return true;
}

// Every child a registered bus filter's latest pass recorded.
std::set<PDEVICE_OBJECT> RecordedChildren() {
    std::set<PDEVICE_OBJECT> recorded;
    for (ULONG i = 0; i < DriverState.FilterCount; ++i) {
        const auto* extension =
            static_cast<const FILTER_EXTENSION*>(DriverState.FilterDevices[i]->DeviceExtension);
        for (ULONG c = 0; c < extension->ChildCount; ++c) {
            recorded.insert(extension->Children[c].Pdo);
        }
    }
    return recorded;
}

void CheckRecords(const FILTER_EXTENSION* extension) {
    fuzz::Require(extension->ChildCount <= CHILD_LIST_CAPACITY, "the records stay in their array");
    std::set<PDEVICE_OBJECT> seen;
    for (ULONG c = 0; c < extension->ChildCount; ++c) {
        fuzz::Require(seen.insert(extension->Children[c].Pdo).second,
                      "a child is recorded once per pass");
    }
}

const DEVICE_RELATION_TYPE kTypes[] = {BusRelations, EjectionRelations, RemovalRelations,
                                       TargetDeviceRelation, PowerRelations};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input input(data, size);
    gPlan = Plan();
    PDRIVER_OBJECT driver = fuzz::LoadFilterDriver();
    PDRIVER_OBJECT pcmcia = fuzz::LoadFakeDriver("pcmcia");
    PDRIVER_OBJECT other = fuzz::LoadFakeDriver("other");

    // Two buses with a bus filter each, the cards, and a device of another
    // driver.  Entries of either bus's list name the cards or the foreign
    // device.
    PDEVICE_OBJECT busPdos[2];
    for (int i = 0; i < 2; ++i) {
        busPdos[i] =
            fuzz::CreateFakeDevice(pcmcia, "bus " + std::to_string(i),
                                   [](PDEVICE_OBJECT, PIRP irp) { return BusDispatch(irp); });
        fuzz::Require(hk::CallAddDevice(driver, busPdos[i]) == STATUS_SUCCESS,
                      "the bus filter is added");
    }
    const int cardCount = 1 + input.U8() % 8;
    std::vector<std::unique_ptr<Object>> objects;
    for (int i = 0; i < cardCount + 1; ++i) {
        auto object = std::make_unique<Object>();
        Object* raw = object.get();
        raw->ids = static_cast<Ids>(input.U8() % static_cast<int>(Ids::Kinds));
        raw->device = fuzz::CreateFakeDevice(
            i < cardCount ? pcmcia : other, "child " + std::to_string(i),
            [raw](PDEVICE_OBJECT, PIRP irp) { return ChildDispatch(raw, irp); });
        objects.push_back(std::move(object));
    }
    std::vector<PDEVICE_OBJECT> candidates;
    for (const auto& object : objects) {
        candidates.push_back(object->device);
    }

    for (int pass = 0; pass < 8 && !input.Empty(); ++pass) {
        const uint8_t how = input.U8();
        const uint8_t mode = input.U8();
        const uint8_t faults = input.U8();
        const uint16_t count = input.U16() % 1001;

        // The filter the query goes to: either bus filter or a child filter.
        std::vector<PDEVICE_OBJECT> children;
        for (PDEVICE_OBJECT device = driver->DeviceObject; device != nullptr;
             device = device->NextDevice) {
            if (hk::DeviceExists(device) && IsFilterDevice(device) &&
                !IsBusFilter(static_cast<PFILTER_EXTENSION>(device->DeviceExtension))) {
                children.push_back(device);
            }
        }
        PDEVICE_OBJECT target = busPdos[how & 1]->AttachedDevice;
        if ((how & 2) != 0 && !children.empty()) {
            target = children[(how >> 2) % children.size()];
        }
        // Only the buses answer with lists: a child filter's query gets its
        // card's answer, which has none.
        const DEVICE_RELATION_TYPE type = kTypes[(how >> 5) % 5];

        DriverState.BlockMode = static_cast<BLOCK_MODE>(mode & 3);
        DriverState.EnforcementSuspended = (mode & 4) != 0;

        gPlan.listed.clear();
        const std::vector<PDEVICE_OBJECT>& pool = candidates;
        std::vector<uint8_t> picks = input.Bytes(count);
        for (uint16_t i = 0; i < count; ++i) {
            uint8_t pick = picks.empty() ? static_cast<uint8_t>(i) : picks[i % picks.size()];
            gPlan.listed.push_back(pool[pick % pool.size()]);
        }
        gPlan.status = (mode & 8) != 0 ? STATUS_NOT_SUPPORTED : STATUS_SUCCESS;
        gPlan.nullList = (mode & 0x10) != 0;
        gPlan.pending = (mode & 0x20) != 0;
        gPlan.fault = static_cast<Fault>(faults % static_cast<int>(Fault::Kinds));
        gPlan.faultAt = (faults >> 3) % 8;
        gPlan.queries = 0;
        gPlan.busDown = false;
        if (gPlan.fault == Fault::Pool) {
            hk::FailNthAllocation(1 + (faults >> 3));
        }
        ArmAfterQueries();

        const auto* extension = static_cast<const FILTER_EXTENSION*>(target->DeviceExtension);
        const bool storage = extension->StorageChild != 0;
        const bool answersLists =
            hk::LowerOf(target) == busPdos[0] || hk::LowerOf(target) == busPdos[1];

        hk::IrpSpec spec = fuzz::PnpSpec(IRP_MN_QUERY_DEVICE_RELATIONS);
        spec.parameters = [type](PIO_STACK_LOCATION stack) {
            stack->Parameters.QueryDeviceRelations.Type = type;
        };
        hk::IoResult result = hk::SendIrp(target, spec);
        hk::DrainWork();
        hk::ClearFaultPlans();
        std::set<PDEVICE_OBJECT> recorded = RecordedChildren();
        std::vector<PDEVICE_OBJECT> answer =
            fuzz::TakeRelationList(NT_SUCCESS(result.status) ? result.information : 0);
        hk::TakeInvalidations();

        CheckRecords(extension);
        if (!answersLists || gPlan.busDown || !NT_SUCCESS(gPlan.status) || gPlan.nullList) {
            fuzz::Require(answer.empty(), "no list goes up where none came");
            continue;
        }
        if (result.status == STATUS_INSUFFICIENT_RESOURCES && gPlan.fault == Fault::Pool) {
            fuzz::Require(answer.empty(), "a failed pass hands up no list");
            continue;
        }
        fuzz::Require(result.status == STATUS_SUCCESS, "the pass succeeds");
        fuzz::Require(IsSubsequence(answer, gPlan.listed),
                      "the answer keeps the lower driver's entries in order");
        const bool hiding = !storage && DriverState.BlockMode == BlockModeAllBlock &&
                            !DriverState.EnforcementSuspended;
        if (type == EjectionRelations) {
            std::vector<PDEVICE_OBJECT> expected;
            for (PDEVICE_OBJECT entry : gPlan.listed) {
                if (DriverState.BlockMode != BlockModeAllBlock ||
                    DriverState.EnforcementSuspended || recorded.count(entry) == 0) {
                    expected.push_back(entry);
                }
            }
            fuzz::Require(answer == expected,
                          "an ejection list loses exactly the recorded children");
        } else if (hiding && type != TargetDeviceRelation) {
            fuzz::Require(answer.empty(), "every child is hidden");
            std::set<PDEVICE_OBJECT> distinct(gPlan.listed.begin(), gPlan.listed.end());
            if (distinct.size() <= CHILD_LIST_CAPACITY) {
                for (PDEVICE_OBJECT entry : distinct) {
                    bool hidden = false;
                    for (ULONG c = 0; c < extension->ChildCount; ++c) {
                        hidden = hidden || (extension->Children[c].Pdo == entry &&
                                            !extension->Children[c].Attached);
                    }
                    fuzz::Require(hidden, "every hidden child is recorded as hidden");
                }
            }
        } else {
            fuzz::Require(answer == gPlan.listed, "a list that hides nothing goes up whole");
        }
    }

    gPlan = Plan();
    fuzz::RemoveFilterDevices(driver);
    for (const auto& object : objects) {
        fuzz::DestroyFakeDevice(object->device);
    }
    fuzz::DestroyFakeDevice(busPdos[0]);
    fuzz::DestroyFakeDevice(busPdos[1]);
    hk::UnloadDriver(other);
    hk::UnloadDriver(pcmcia);
    hk::UnloadDriver(driver);
    fuzz::RequireCleanAndReset();
    return 0;
}
