// The verifier's rules, each broken on purpose by a tiny fake driver.
//
// The verifier is only worth what it catches: every rule the host kernel
// enforces has a case here that breaks it and asserts that the finding is
// recorded under the rule's name, and that nothing else was recorded with it.
// Each case cleans up what it created, so the fixture's teardown still proves
// that the machine ends clean.

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "host_fixture.h"

namespace {

// Asserts the exact set of rules a case breaks, so that a rule that stays
// silent and a rule that fires where it should not both fail the case.
class VerifierTest : public HostKernelTest {
protected:
    void ExpectRules(const std::set<std::string>& expected) {
        std::set<std::string> recorded;
        std::string all;
        for (const hk::Violation& v : hk::Violations()) {
            recorded.insert(v.rule);
            all += "  " + v.rule + ": " + v.detail + "\n";
        }
        EXPECT_EQ(recorded, expected) << "the verifier recorded:\n" << all;
        hk::ClearViolations();
    }

    void ExpectOnly(const std::string& rule) { ExpectRules({rule}); }
};

// Whether an entry of the leak report contains `text`; prints the report when
// none does.
::testing::AssertionResult LeakMentions(const std::string& text) {
    std::string all;
    for (const std::string& leak : hk::Leaks()) {
        if (leak.find(text) != std::string::npos) {
            return ::testing::AssertionSuccess();
        }
        all += "  " + leak + "\n";
    }
    return ::testing::AssertionFailure() << "no leak mentions \"" << text << "\"; leaks:\n" << all;
}

template <typename Case>
std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
    return info.param.name;
}

// A request as the I/O manager sends it for a major (and minor) function.
hk::IrpSpec RequestFor(UCHAR major, UCHAR minor = 0, ULONG outputLength = 0) {
    hk::IrpSpec spec;
    spec.major = major;
    spec.minor = minor;
    if (major == IRP_MJ_PNP || major == IRP_MJ_POWER) {
        spec.initialStatus = STATUS_NOT_SUPPORTED;
    }
    if (major == IRP_MJ_DEVICE_CONTROL) {
        spec.buffered = true;
        spec.outputLength = outputLength;
        // One input byte: hk::SendIrp copies the input from a null pointer
        // when there is none, which the sanitizer stops.
        spec.input = {0};
    }
    return spec;
}

NTSTATUS CompleteNow(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Runs `body` inside a dispatch routine of `driver`, so that the host kernel
// sees that driver as the caller of every service `body` uses.
void RunInDispatch(FakeDriver& driver, const std::function<void()>& body) {
    PDEVICE_OBJECT device = driver.CreateDevice("caller", [&body](PDEVICE_OBJECT, PIRP irp) {
        body();
        return CompleteNow(irp, STATUS_SUCCESS);
    });
    hk::SendIrp(device, hk::IrpSpec{});
    FakeDriver::DestroyDevice(device);
}

// A device of `driver` created with the raw service and no handler, attached
// over `below` when given; for cases that delete or detach by hand.
PDEVICE_OBJECT RawDevice(FakeDriver& driver, PDEVICE_OBJECT below = nullptr) {
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(IoCreateDevice(driver.object(), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_SUCCESS);
    if (below != nullptr) {
        EXPECT_NE(IoAttachDeviceToDeviceStack(device, below), nullptr);
    }
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return device;
}

NTSTATUS KeepRequest(PDEVICE_OBJECT, PIRP, PVOID) {
    return STATUS_MORE_PROCESSING_REQUIRED;
}

const ULONG kTag = hk::TagFromText("VrfT");

// ---------------------------------------------------------------------------
// Request life: one device, one request from the I/O manager.

struct DispatchCase {
    const char* name;
    std::set<std::string> rules;
    UCHAR major;
    UCHAR minor;
    ULONG outputLength;
    FakeDriver::Handler handler;
};

class VerifierDispatch : public VerifierTest, public ::testing::WithParamInterface<DispatchCase> {};

TEST_P(VerifierDispatch, BrokenDispatchIsRecorded) {
    const DispatchCase& c = GetParam();
    FakeDriver driver("LoneDriver");
    PDEVICE_OBJECT device = driver.CreateDevice("lone", c.handler);
    hk::SendIrp(device, RequestFor(c.major, c.minor, c.outputLength));
    ExpectRules(c.rules);
    FakeDriver::DestroyDevice(device);
}

const DispatchCase kDispatchCases[] = {
    // A request is completed once: the second completion runs completion
    // routines on a request its sender already freed.
    {"CompletedTwice",
     {"irp-completed-twice"},
     IRP_MJ_READ,
     0,
     0,
     [](PDEVICE_OBJECT, PIRP irp) {
         CompleteNow(irp, STATUS_SUCCESS);
         IoCompleteRequest(irp, IO_NO_INCREMENT);
         return STATUS_SUCCESS;
     }},
    // STATUS_PENDING comes with IoMarkIrpPending, or the sender takes the
    // synchronous path and misses the completion.
    {"PendingReturnedUnmarked",
     {"pending-not-marked"},
     IRP_MJ_READ,
     0,
     0,
     [](PDEVICE_OBJECT, PIRP irp) {
         CompleteNow(irp, STATUS_SUCCESS);
         return STATUS_PENDING;
     }},
    // A request marked pending is answered with STATUS_PENDING, or its sender
    // sees two outcomes.
    {"MarkedPendingReturnedSuccess",
     {"marked-pending-returned-other"},
     IRP_MJ_READ,
     0,
     0,
     [](PDEVICE_OBJECT, PIRP irp) {
         IoMarkIrpPending(irp);
         CompleteNow(irp, STATUS_SUCCESS);
         return STATUS_SUCCESS;
     }},
    // The status returned is the status completed, or the caller acts on a
    // result the request does not carry.
    {"ReturnedOtherThanCompleted",
     {"returned-status-differs"},
     IRP_MJ_READ,
     0,
     0,
     [](PDEVICE_OBJECT, PIRP irp) {
         CompleteNow(irp, STATUS_SUCCESS);
         return STATUS_UNSUCCESSFUL;
     }},
    // Only the allocator frees a request with IoFreeIrp; the I/O manager's own
    // requests are completed, never freed by a driver.
    {"IoManagerRequestFreed",
     {"irp-freed-not-owner"},
     IRP_MJ_READ,
     0,
     0,
     [](PDEVICE_OBJECT, PIRP irp) {
         IoFreeIrp(irp);
         return CompleteNow(irp, STATUS_SUCCESS);
     }},
    // A request is passed on only while it has a stack location left: the
    // next one would overwrite the request's header.
    {"PassedBeyondLastStackLocation",
     {"irp-out-of-stack-locations"},
     IRP_MJ_READ,
     0,
     0,
     [](PDEVICE_OBJECT device, PIRP irp) {
         NTSTATUS status = IoCallDriver(device, irp);
         return CompleteNow(irp, status);
     }},
    // A buffered answer never claims more bytes than the caller's output
    // buffer holds: the I/O manager would copy past it.
    {"AnsweredMoreThanOutputBuffer",
     {"buffered-information-too-large"},
     IRP_MJ_DEVICE_CONTROL,
     0,
     4,
     [](PDEVICE_OBJECT, PIRP irp) { return CompleteNow(irp, STATUS_SUCCESS, 16); }},
    // A remove request cannot fail: the device is going whatever the driver
    // says.
    {"RemoveFailed",
     {"remove-failed"},
     IRP_MJ_PNP,
     IRP_MN_REMOVE_DEVICE,
     0,
     [](PDEVICE_OBJECT, PIRP irp) { return CompleteNow(irp, STATUS_UNSUCCESSFUL); }},
    // Each power request starts the next one exactly once, or power requests
    // for the device stall.
    {"PowerWithoutStartNext",
     {"power-start-next"},
     IRP_MJ_POWER,
     IRP_MN_SET_POWER,
     0,
     [](PDEVICE_OBJECT, PIRP irp) { return CompleteNow(irp, STATUS_SUCCESS); }},
    // Starting the next power request twice lets two run at once.
    {"PowerStartNextTwice",
     {"power-start-next"},
     IRP_MJ_POWER,
     IRP_MN_SET_POWER,
     0,
     [](PDEVICE_OBJECT, PIRP irp) {
         PoStartNextPowerIrp(irp);
         PoStartNextPowerIrp(irp);
         return CompleteNow(irp, STATUS_SUCCESS);
     }},
    // A dispatch routine returns at the IRQL it was called at: its caller
    // would go on at DISPATCH_LEVEL.
    {"DispatchReturnsAtDispatchLevel",
     {"irql-not-restored"},
     IRP_MJ_READ,
     0,
     0,
     [](PDEVICE_OBJECT, PIRP irp) {
         KIRQL old;
         KeRaiseIrql(DISPATCH_LEVEL, &old);
         return CompleteNow(irp, STATUS_SUCCESS);
     }},
    // A request is completed with no spin lock held: completion routines run
    // in the completer's context and may take the same lock.
    {"CompletedUnderSpinLock",
     {"spin-lock-held"},
     IRP_MJ_READ,
     0,
     0,
     [](PDEVICE_OBJECT, PIRP irp) {
         KSPIN_LOCK lock;
         KeInitializeSpinLock(&lock);
         KIRQL old;
         KeAcquireSpinLock(&lock, &old);
         CompleteNow(irp, STATUS_SUCCESS);
         KeReleaseSpinLock(&lock, old);
         return STATUS_SUCCESS;
     }},
    // The next power request is started before the request is completed:
    // afterwards the request is gone, and the start was never counted.
    {"StartNextAfterCompletion",
     {"irp-touched-after-free", "power-start-next"},
     IRP_MJ_POWER,
     IRP_MN_SET_POWER,
     0,
     [](PDEVICE_OBJECT, PIRP irp) {
         CompleteNow(irp, STATUS_SUCCESS);
         PoStartNextPowerIrp(irp);
         return STATUS_SUCCESS;
     }},
};

INSTANTIATE_TEST_SUITE_P(, VerifierDispatch, ::testing::ValuesIn(kDispatchCases),
                         CaseName<DispatchCase>);

class VerifierRequestLife : public VerifierTest {};

// A dispatch routine ends every request one way; returning without passing it
// on, completing or pending it loses the request.
TEST_F(VerifierRequestLife, DispatchWithoutOutcome) {
    FakeDriver driver("LoneDriver");
    PIRP lost = nullptr;
    PDEVICE_OBJECT device = driver.CreateDevice("lone", [&lost](PDEVICE_OBJECT, PIRP irp) {
        lost = irp;
        return STATUS_SUCCESS;
    });
    hk::SendIrp(device, hk::IrpSpec{});
    ExpectOnly("dispatch-no-outcome");
    ASSERT_NE(lost, nullptr);
    CompleteNow(lost, STATUS_SUCCESS);
    FakeDriver::DestroyDevice(device);
}

// A request marked pending is completed some day; one that never is stays in
// the leak report, so a hung caller shows up as a finding.
TEST_F(VerifierRequestLife, PendedRequestNeverCompleted) {
    FakeDriver driver("LoneDriver");
    PIRP stuck = nullptr;
    PDEVICE_OBJECT device = driver.CreateDevice("lone", [&stuck](PDEVICE_OBJECT, PIRP irp) {
        stuck = irp;
        IoMarkIrpPending(irp);
        return STATUS_PENDING;
    });
    hk::IrpSpec spec;
    spec.wait = false;
    EXPECT_TRUE(hk::SendIrp(device, spec).returnedPending);
    EXPECT_TRUE(LeakMentions("never completed"));
    ASSERT_NE(stuck, nullptr);
    CompleteNow(stuck, STATUS_SUCCESS);
    FakeDriver::DestroyDevice(device);
}

// A completed request belongs to its sender again; a write to it afterwards
// corrupts memory someone else owns.
TEST_F(VerifierRequestLife, WrittenAfterCompletion) {
    hk::SetAsanTraps(false);
    FakeDriver driver("LoneDriver");
    PDEVICE_OBJECT device = driver.CreateDevice("lone", [](PDEVICE_OBJECT, PIRP irp) {
        CompleteNow(irp, STATUS_SUCCESS);
        irp->IoStatus.Information = 1;
        return STATUS_SUCCESS;
    });
    hk::SendIrp(device, hk::IrpSpec{});
    hk::Leaks(); // the quarantine is examined here
    ExpectOnly("irp-touched-after-free");
    FakeDriver::DestroyDevice(device);
}

// ---------------------------------------------------------------------------
// A filter over a lower device: the rules about passing a request on.

struct FilterCase {
    const char* name;
    std::set<std::string> rules;
    UCHAR major;
    UCHAR minor;
    FakeDriver::Handler filter; // finds its lower device with hk::LowerOf
    FakeDriver::Handler lower;
};

class VerifierFilteredRequest : public VerifierTest,
                                public ::testing::WithParamInterface<FilterCase> {};

TEST_P(VerifierFilteredRequest, BrokenFilterIsRecorded) {
    const FilterCase& c = GetParam();
    FakeDriver bus("BusDriver");
    FakeDriver filter("FilterDriver");
    PDEVICE_OBJECT lower = bus.CreateDevice("lower", c.lower);
    PDEVICE_OBJECT upper = filter.CreateDevice("filter", c.filter, lower);
    hk::SendIrp(upper, RequestFor(c.major, c.minor));
    hk::DrainWork();
    ExpectRules(c.rules);
    FakeDriver::DestroyDevice(upper);
    FakeDriver::DestroyDevice(lower);
}

NTSTATUS CompleteWithCurrentStatus(PDEVICE_OBJECT, PIRP irp) {
    NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS StartNextAndComplete(PDEVICE_OBJECT, PIRP irp) {
    PoStartNextPowerIrp(irp);
    return CompleteNow(irp, STATUS_SUCCESS);
}

NTSTATUS FilterSetsSuccessAndPasses(PDEVICE_OBJECT device, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(hk::LowerOf(device), irp);
}

const FilterCase kFilterCases[] = {
    // A completion routine that sees PendingReturned marks the request pending
    // (or keeps it), or the pending state is lost on the way up.
    {"CompletionRoutineDropsPending",
     {"completion-pending-not-propagated", "pending-not-marked"},
     IRP_MJ_READ,
     0,
     [](PDEVICE_OBJECT device, PIRP irp) {
         IoCopyCurrentIrpStackLocationToNext(irp);
         IoSetCompletionRoutine(
             irp, [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS { return STATUS_SUCCESS; }, nullptr,
             TRUE, TRUE, TRUE);
         return IoCallDriver(hk::LowerOf(device), irp);
     },
     fake::PendThenComplete(STATUS_SUCCESS)},
    // A request kept with STATUS_MORE_PROCESSING_REQUIRED is its keeper's
    // alone; another driver completing it races the keeper.
    {"KeptRequestCompletedByLower",
     {"irp-kept-completed-by-other"},
     IRP_MJ_READ,
     0,
     [](PDEVICE_OBJECT device, PIRP irp) {
         IoCopyCurrentIrpStackLocationToNext(irp);
         IoSetCompletionRoutine(irp, KeepRequest, nullptr, TRUE, TRUE, TRUE);
         return IoCallDriver(hk::LowerOf(device), irp);
     },
     [](PDEVICE_OBJECT, PIRP irp) {
         CompleteNow(irp, STATUS_SUCCESS);
         IoCompleteRequest(irp, IO_NO_INCREMENT);
         return STATUS_SUCCESS;
     }},
    // A filter passes a PnP request it does not handle with its status
    // untouched: the PnP manager reads "not supported" as "nobody answered".
    {"UnknownPnpMinorStatusChanged",
     {"pnp-status-changed"},
     IRP_MJ_PNP,
     0xFF,
     FilterSetsSuccessAndPasses,
     CompleteWithCurrentStatus},
    // The same for a query a filter leaves to the bus driver.
    {"QueryIdStatusChanged",
     {"pnp-status-changed"},
     IRP_MJ_PNP,
     IRP_MN_QUERY_ID,
     FilterSetsSuccessAndPasses,
     CompleteWithCurrentStatus},
    // Power requests go down with PoCallDriver, which serialises them.
    {"PowerPassedWithIoCallDriver",
     {"power-irp-via-iocalldriver"},
     IRP_MJ_POWER,
     IRP_MN_SET_POWER,
     [](PDEVICE_OBJECT device, PIRP irp) {
         PoStartNextPowerIrp(irp);
         IoSkipCurrentIrpStackLocation(irp);
         return IoCallDriver(hk::LowerOf(device), irp);
     },
     StartNextAndComplete},
    // Every driver of the stack starts the next power request, a filter that
    // skips its location included.
    {"SkippingFilterWithoutStartNext",
     {"power-start-next"},
     IRP_MJ_POWER,
     IRP_MN_SET_POWER,
     [](PDEVICE_OBJECT device, PIRP irp) {
         IoSkipCurrentIrpStackLocation(irp);
         return PoCallDriver(hk::LowerOf(device), irp);
     },
     StartNextAndComplete},
    // A completion routine returns at the IRQL it was called at.
    {"CompletionRoutineReturnsAtDispatchLevel",
     {"irql-not-restored"},
     IRP_MJ_READ,
     0,
     [](PDEVICE_OBJECT device, PIRP irp) {
         IoCopyCurrentIrpStackLocationToNext(irp);
         IoSetCompletionRoutine(
             irp,
             [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS {
                 KIRQL old;
                 KeRaiseIrql(DISPATCH_LEVEL, &old);
                 return STATUS_SUCCESS;
             },
             nullptr, TRUE, TRUE, TRUE);
         return IoCallDriver(hk::LowerOf(device), irp);
     },
     fake::CompleteWith(STATUS_SUCCESS)},
    // A request is passed on with no spin lock held: the lower driver may
    // complete it at once and re-enter the lock.
    {"PassedDownUnderSpinLock",
     {"spin-lock-held"},
     IRP_MJ_READ,
     0,
     [](PDEVICE_OBJECT device, PIRP irp) {
         KSPIN_LOCK lock;
         KeInitializeSpinLock(&lock);
         KIRQL old;
         KeAcquireSpinLock(&lock, &old);
         IoSkipCurrentIrpStackLocation(irp);
         NTSTATUS status = IoCallDriver(hk::LowerOf(device), irp);
         KeReleaseSpinLock(&lock, old);
         return status;
     },
     fake::CompleteWith(STATUS_SUCCESS)},
    // A driver that marks a request pending returns STATUS_PENDING even when
    // the lower driver answered at once, or the sender sees two outcomes.
    {"MarkedPendingReturnedLowerStatus",
     {"marked-pending-returned-other"},
     IRP_MJ_READ,
     0,
     [](PDEVICE_OBJECT device, PIRP irp) {
         IoMarkIrpPending(irp);
         IoCopyCurrentIrpStackLocationToNext(irp);
         return IoCallDriver(hk::LowerOf(device), irp);
     },
     fake::CompleteWith(STATUS_SUCCESS)},
};

INSTANTIATE_TEST_SUITE_P(, VerifierFilteredRequest, ::testing::ValuesIn(kFilterCases),
                         CaseName<FilterCase>);

// ---------------------------------------------------------------------------
// Requests a driver allocates: sent to a lower device from a dispatch routine
// of their owner, with or without a completion routine that keeps them.

struct DriverRequestCase {
    const char* name;
    const char* rule;
    PIO_COMPLETION_ROUTINE routine; // set on the owner's location, or none
    FakeDriver::Handler lower;
    std::function<void(PIRP irp, PDEVICE_OBJECT lower)> after;
};

class VerifierDriverRequest : public VerifierTest,
                              public ::testing::WithParamInterface<DriverRequestCase> {};

TEST_P(VerifierDriverRequest, BrokenOwnershipIsRecorded) {
    const DriverRequestCase& c = GetParam();
    FakeDriver owner("OwnerDriver");
    FakeDriver target("TargetDriver");
    PDEVICE_OBJECT lower = target.CreateDevice("target", c.lower);
    RunInDispatch(owner, [&c, lower]() {
        PIRP irp = IoAllocateIrp(lower->StackSize, FALSE);
        ASSERT_NE(irp, nullptr);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
        if (c.routine != nullptr) {
            IoSetCompletionRoutine(irp, c.routine, nullptr, TRUE, TRUE, TRUE);
        }
        IoCallDriver(lower, irp);
        c.after(irp, lower);
    });
    ExpectOnly(c.rule);
    FakeDriver::DestroyDevice(lower);
}

void FreeIt(PIRP irp, PDEVICE_OBJECT) {
    IoFreeIrp(irp);
}

const DriverRequestCase kDriverRequestCases[] = {
    // A kept request is freed by its keeper only: the keeper still uses it.
    {"KeptRequestFreedByLower", "irp-kept-freed-by-other", KeepRequest,
     [](PDEVICE_OBJECT, PIRP irp) {
         CompleteNow(irp, STATUS_SUCCESS);
         IoFreeIrp(irp);
         return STATUS_SUCCESS;
     },
     [](PIRP, PDEVICE_OBJECT) {}},
    // A request is freed only after it came back: the lower driver still
    // holds it and will complete freed memory.
    {"FreedWhileLowerOwnsIt", "irp-freed-in-flight", KeepRequest,
     [](PDEVICE_OBJECT, PIRP irp) {
         IoMarkIrpPending(irp);
         return STATUS_PENDING;
     },
     FreeIt},
    // A driver's own request stops at its completion routine: the I/O manager
    // has no thread to finish it on.
    {"CompletedUpToTop", "driver-irp-completed-to-top", nullptr, fake::CompleteWith(STATUS_SUCCESS),
     FreeIt},
    // A freed request is never sent again: its memory is someone else's.
    {"SentAgainAfterFree", "irp-touched-after-free", KeepRequest,
     fake::CompleteWith(STATUS_SUCCESS),
     [](PIRP irp, PDEVICE_OBJECT lower) {
         IoFreeIrp(irp);
         IoCallDriver(lower, irp);
     }},
    // A request is freed once.
    {"FreedTwice", "irp-freed-twice", KeepRequest, fake::CompleteWith(STATUS_SUCCESS),
     [](PIRP irp, PDEVICE_OBJECT) {
         IoFreeIrp(irp);
         IoFreeIrp(irp);
     }},
    // A request is freed with IoFreeIrp, never as pool: it is not a pool block.
    {"FreedWithPool", "irp-freed-with-pool", KeepRequest, fake::CompleteWith(STATUS_SUCCESS),
     [](PIRP irp, PDEVICE_OBJECT) {
         ExFreePool(irp);
         IoFreeIrp(irp);
     }},
    // A completion routine that frees its request returns
    // STATUS_MORE_PROCESSING_REQUIRED: anything else hands freed memory back
    // to completion.
    {"CompletionRoutineFreesAndContinues", "irp-touched-after-free",
     [](PDEVICE_OBJECT, PIRP irp, PVOID) -> NTSTATUS {
         IoFreeIrp(irp);
         return STATUS_SUCCESS;
     },
     fake::CompleteWith(STATUS_SUCCESS), [](PIRP, PDEVICE_OBJECT) {}},
};

INSTANTIATE_TEST_SUITE_P(, VerifierDriverRequest, ::testing::ValuesIn(kDriverRequestCases),
                         CaseName<DriverRequestCase>);

// ---------------------------------------------------------------------------
// Cases whose whole story is a few service calls on the test's own thread.

struct BodyCase {
    const char* name;
    const char* rule;
    std::function<void()> body;
};

class VerifierBodyTest : public VerifierTest, public ::testing::WithParamInterface<BodyCase> {
protected:
    void RunCase() {
        GetParam().body();
        ExpectOnly(GetParam().rule);
    }
};

// Memory that is not what the service expects, and arguments outside a
// service's domain.
class VerifierBadArgument : public VerifierBodyTest {};

TEST_P(VerifierBadArgument, IsRecorded) {
    RunCase();
}

const BodyCase kBadArgumentCases[] = {
    // Only requests are completed: completing other memory writes through
    // pointers that are not there.
    {"CompletePlainMemory", "irp-unknown",
     [] {
         IRP plain{};
         IoCompleteRequest(&plain, IO_NO_INCREMENT);
     }},
    // Only requests are freed with IoFreeIrp.
    {"FreePlainMemoryAsRequest", "irp-unknown",
     [] {
         IRP plain{};
         IoFreeIrp(&plain);
     }},
    // Only requests are sent.
    {"SendPlainMemory", "irp-unknown",
     [] {
         FakeDriver driver("TargetDriver");
         PDEVICE_OBJECT device = RawDevice(driver);
         IRP plain{};
         IoCallDriver(device, &plain);
         IoDeleteDevice(device);
     }},
    // A request is completed only after it was sent: before, it has no
    // current location and no one waits for it.
    {"CompleteUnsentRequest", "irp-completed-unsent",
     [] {
         PIRP irp = IoAllocateIrp(1, FALSE);
         IoCompleteRequest(irp, IO_NO_INCREMENT);
         IoFreeIrp(irp);
     }},
    // References are taken on objects only.
    {"ReferencePlainMemory", "object-unknown",
     [] {
         KEVENT plain;
         KeInitializeEvent(&plain, NotificationEvent, FALSE);
         ObReferenceObject(&plain);
     }},
    // _itow has no radix below 2: the platform's routine writes nothing useful.
    {"ItowRadixOne", "invalid-parameter",
     [] {
         WCHAR text[40];
         _itow(5, text, 1);
     }},
    // Times before 1601 have no calendar fields.
    {"NegativeTimeToFields", "invalid-parameter",
     [] {
         LARGE_INTEGER time;
         time.QuadPart = -1;
         TIME_FIELDS fields;
         RtlTimeToTimeFields(&time, &fields);
     }},
};

INSTANTIATE_TEST_SUITE_P(, VerifierBadArgument, ::testing::ValuesIn(kBadArgumentCases),
                         CaseName<BodyCase>);

// ---------------------------------------------------------------------------
// Services called above the IRQL they allow.

class VerifierServiceIrql : public VerifierBodyTest {};

TEST_P(VerifierServiceIrql, IsRecorded) {
    RunCase();
}

void PageableRoutine() {
    PAGED_CODE();
}

const BodyCase kServiceIrqlCases[] = {
    // A wait without a timeout blocks, which DISPATCH_LEVEL cannot do; the
    // event is signalled so that the test does not block either.
    {"WaitWithoutTimeoutAtDispatch", "irql-too-high",
     [] {
         KEVENT event;
         KeInitializeEvent(&event, NotificationEvent, TRUE);
         hk::IrqlScope dispatch(DISPATCH_LEVEL);
         KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
     }},
    // A wait with a nonzero timeout blocks as well.
    {"WaitWithTimeoutAtDispatch", "irql-too-high",
     [] {
         KEVENT event;
         KeInitializeEvent(&event, NotificationEvent, TRUE);
         LARGE_INTEGER timeout;
         timeout.QuadPart = -10000;
         hk::IrqlScope dispatch(DISPATCH_LEVEL);
         KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
     }},
    // The registry is pageable and runs at PASSIVE_LEVEL only.
    {"QueryRegistryAtDispatch", "irql-too-high",
     [] {
         RTL_QUERY_REGISTRY_TABLE table[1] = {};
         hk::IrqlScope dispatch(DISPATCH_LEVEL);
         RtlQueryRegistryValues(RTL_REGISTRY_SERVICES | RTL_REGISTRY_OPTIONAL, u"Absent", table,
                                nullptr, nullptr);
     }},
    {"CheckRegistryKeyAtDispatch", "irql-too-high",
     [] {
         WCHAR path[] = u"Absent";
         hk::IrqlScope dispatch(DISPATCH_LEVEL);
         RtlCheckRegistryKey(RTL_REGISTRY_SERVICES, path);
     }},
    {"WriteRegistryValueAtDispatch", "irql-too-high",
     [] {
         ULONG value = 1;
         hk::IrqlScope dispatch(DISPATCH_LEVEL);
         RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, u"Absent\\Deeper", u"Value", REG_DWORD,
                               &value, sizeof(value));
     }},
    // Handle tables are pageable.
    {"ReferenceByHandleAtDispatch", "irql-too-high",
     [] {
         HANDLE handle = hk::CreateEventHandle(nullptr, NotificationEvent);
         PVOID object = nullptr;
         {
             hk::IrqlScope dispatch(DISPATCH_LEVEL);
             ASSERT_EQ(ObReferenceObjectByHandle(handle, EVENT_MODIFY_STATE, *ExEventObjectType,
                                                 KernelMode, &object, nullptr),
                       STATUS_SUCCESS);
         }
         ObDereferenceObject(object);
         hk::CloseHandle(nullptr, handle);
     }},
    // Device objects are created at PASSIVE_LEVEL.
    {"CreateDeviceAtDispatch", "irql-too-high",
     [] {
         FakeDriver driver("IrqlDriver");
         PDEVICE_OBJECT device = nullptr;
         {
             hk::IrqlScope dispatch(DISPATCH_LEVEL);
             ASSERT_EQ(IoCreateDevice(driver.object(), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE,
                                      &device),
                       STATUS_SUCCESS);
         }
         IoDeleteDevice(device);
     }},
    // ... and deleted there.
    {"DeleteDeviceAtDispatch", "irql-too-high",
     [] {
         FakeDriver driver("IrqlDriver");
         PDEVICE_OBJECT device = RawDevice(driver);
         hk::IrqlScope dispatch(DISPATCH_LEVEL);
         IoDeleteDevice(device);
     }},
    // A fast mutex may block, so it is acquired at APC_LEVEL or below.
    {"AcquireFastMutexAtDispatch", "irql-too-high",
     [] {
         FAST_MUTEX mutex;
         ExInitializeFastMutex(&mutex);
         hk::IrqlScope dispatch(DISPATCH_LEVEL);
         ExAcquireFastMutex(&mutex);
         ExReleaseFastMutex(&mutex);
     }},
    // Paged pool may fault, which DISPATCH_LEVEL cannot take.
    {"PagedPoolAtDispatch", "irql-too-high",
     [] {
         PVOID block;
         {
             hk::IrqlScope dispatch(DISPATCH_LEVEL);
             block = ExAllocatePoolWithTag(PagedPool, 8, kTag);
         }
         ExFreePoolWithTag(block, kTag);
     }},
    // Events are signalled at DISPATCH_LEVEL or below.
    {"SetEventAboveDispatch", "irql-too-high",
     [] {
         KEVENT event;
         KeInitializeEvent(&event, NotificationEvent, FALSE);
         hk::IrqlScope high(HIGH_LEVEL);
         KeSetEvent(&event, 0, FALSE);
     }},
    // KeSetEvent with Wait TRUE promises a wait next, which DISPATCH_LEVEL
    // cannot keep.
    {"SetEventWithWaitAtDispatch", "irql-too-high",
     [] {
         KEVENT event;
         KeInitializeEvent(&event, NotificationEvent, FALSE);
         hk::IrqlScope dispatch(DISPATCH_LEVEL);
         KeSetEvent(&event, 0, TRUE);
     }},
    // Pageable code runs at APC_LEVEL or below: at DISPATCH_LEVEL a page
    // fault on it stops the machine.
    {"PageableCodeAtDispatch", "pageable-code-irql",
     [] {
         hk::IrqlScope dispatch(DISPATCH_LEVEL);
         PageableRoutine();
     }},
};

INSTANTIATE_TEST_SUITE_P(, VerifierServiceIrql, ::testing::ValuesIn(kServiceIrqlCases),
                         CaseName<BodyCase>);

// ---------------------------------------------------------------------------
// IRQL discipline, spin locks and fast mutexes.  Acquiring a held lock again
// is reported at once instead of hanging the test.

class VerifierLocks : public VerifierBodyTest {};

TEST_P(VerifierLocks, IsRecorded) {
    RunCase();
}

const BodyCase kLockCases[] = {
    // KeRaiseIrql only raises: lowering through it hides a missing restore.
    {"RaiseToLowerLevel", "irql-lowered-by-raise",
     [] {
         KIRQL old;
         KeRaiseIrql(DISPATCH_LEVEL, &old);
         KIRQL ignored;
         KeRaiseIrql(PASSIVE_LEVEL, &ignored);
     }},
    // KeLowerIrql only lowers.
    {"LowerToHigherLevel", "irql-raised-by-lower",
     [] {
         KeLowerIrql(DISPATCH_LEVEL);
         KeLowerIrql(PASSIVE_LEVEL);
     }},
    // A work item (a DPC, a worker routine) ends at the IRQL it started at.
    {"WorkItemEndsAtDispatch", "irql-not-restored",
     [] {
         hk::QueueWork([] {
             KIRQL old;
             KeRaiseIrql(DISPATCH_LEVEL, &old);
         });
         hk::DrainWork();
     }},
    // ... and holding no spin lock: no one could release it.
    {"WorkItemEndsHoldingSpinLock", "irql-not-restored",
     [] {
         KSPIN_LOCK lock;
         KeInitializeSpinLock(&lock);
         hk::QueueWork(
             [&lock] {
                 KIRQL old;
                 KeAcquireSpinLock(&lock, &old);
             },
             DISPATCH_LEVEL);
         hk::DrainWork();
     }},
    // A spin lock is released at DISPATCH_LEVEL, where it was taken.
    {"SpinLockReleasedAtPassive", "spin-lock-release-irql",
     [] {
         KSPIN_LOCK lock;
         KeInitializeSpinLock(&lock);
         KIRQL old;
         KeAcquireSpinLock(&lock, &old);
         KeLowerIrql(PASSIVE_LEVEL);
         KeReleaseSpinLock(&lock, old);
     }},
    // Releasing a spin lock never raises above DISPATCH_LEVEL.
    {"SpinLockReleasedToHighLevel", "spin-lock-release-irql",
     [] {
         KSPIN_LOCK lock;
         KeInitializeSpinLock(&lock);
         KIRQL old;
         KeAcquireSpinLock(&lock, &old);
         KeReleaseSpinLock(&lock, HIGH_LEVEL);
         KeLowerIrql(PASSIVE_LEVEL);
     }},
    // A spin lock is released by the thread that holds it.
    {"SpinLockReleasedByOtherThread", "spin-lock-wrong-thread",
     [] {
         KSPIN_LOCK lock;
         KeInitializeSpinLock(&lock);
         KIRQL old;
         KeAcquireSpinLock(&lock, &old);
         hk::QueueWork([&lock] { KeReleaseSpinLock(&lock, DISPATCH_LEVEL); }, DISPATCH_LEVEL);
         hk::DrainWork();
         KeReleaseSpinLock(&lock, old);
     }},
    // ... and a spin lock no one holds is not released.
    {"SpinLockReleasedUnheld", "spin-lock-wrong-thread",
     [] {
         KSPIN_LOCK lock;
         KeInitializeSpinLock(&lock);
         hk::IrqlScope dispatch(DISPATCH_LEVEL);
         KeReleaseSpinLock(&lock, DISPATCH_LEVEL);
     }},
    // A thread that takes a spin lock it holds spins forever.
    {"SpinLockAcquiredTwice", "spin-lock-recursion",
     [] {
         KSPIN_LOCK lock;
         KeInitializeSpinLock(&lock);
         KIRQL old;
         KeAcquireSpinLock(&lock, &old);
         KIRQL again;
         KeAcquireSpinLock(&lock, &again);
         KeReleaseSpinLock(&lock, old);
     }},
    // A fast mutex is not recursive: the holder waits for itself forever.
    {"FastMutexAcquiredTwice", "fast-mutex-recursion",
     [] {
         FAST_MUTEX mutex;
         ExInitializeFastMutex(&mutex);
         ExAcquireFastMutex(&mutex);
         ExAcquireFastMutex(&mutex);
         ExReleaseFastMutex(&mutex);
     }},
    // A fast mutex is released by the thread that holds it.
    {"FastMutexReleasedByOtherThread", "fast-mutex-wrong-thread",
     [] {
         FAST_MUTEX mutex;
         ExInitializeFastMutex(&mutex);
         ExAcquireFastMutex(&mutex);
         hk::QueueWork([&mutex] { ExReleaseFastMutex(&mutex); });
         hk::DrainWork();
         ExReleaseFastMutex(&mutex);
     }},
    // ... and a fast mutex no one holds is not released.
    {"FastMutexReleasedUnheld", "fast-mutex-wrong-thread",
     [] {
         FAST_MUTEX mutex;
         ExInitializeFastMutex(&mutex);
         ExReleaseFastMutex(&mutex);
     }},
    // A fast mutex is released at APC_LEVEL, where acquiring it left the
    // thread; anywhere else the saved IRQL it restores is wrong.
    {"FastMutexReleasedAtDispatch", "fast-mutex-release-irql",
     [] {
         FAST_MUTEX mutex;
         ExInitializeFastMutex(&mutex);
         ExAcquireFastMutex(&mutex);
         KIRQL old;
         KeRaiseIrql(DISPATCH_LEVEL, &old);
         ExReleaseFastMutex(&mutex);
     }},
    // Leaving a critical region that was never entered turns APCs on under
    // code that relies on them being off.
    {"CriticalRegionLeftUnentered", "critical-region-unbalanced", [] { KeLeaveCriticalRegion(); }},
    // The unsafe fast mutex leaves APCs as they are: taken with APCs on, an
    // APC on the holder's thread can deadlock on it.
    {"UnsafeFastMutexWithApcsOn", "fast-mutex-unsafe-with-apcs",
     [] {
         FAST_MUTEX mutex;
         ExInitializeFastMutex(&mutex);
         ExAcquireFastMutexUnsafe(&mutex);
         ExReleaseFastMutexUnsafe(&mutex);
     }},
};

INSTANTIATE_TEST_SUITE_P(, VerifierLocks, ::testing::ValuesIn(kLockCases), CaseName<BodyCase>);

// ---------------------------------------------------------------------------
// Pool.

class VerifierPool : public VerifierBodyTest {};

TEST_P(VerifierPool, IsRecorded) {
    RunCase();
}

const BodyCase kPoolCases[] = {
    // A block is freed with its own tag (or 0 for another driver's buffer):
    // a wrong tag means the code frees a block it did not mean to.
    {"FreedWithOtherTag", "pool-free-wrong-tag",
     [] {
         PVOID block = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
         ExFreePoolWithTag(block, hk::TagFromText("Othr"));
     }},
    // A block is freed once.
    {"FreedTwice", "pool-double-free",
     [] {
         PVOID block = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
         ExFreePoolWithTag(block, kTag);
         ExFreePoolWithTag(block, kTag);
     }},
    // Only what pool handed out goes back to it.
    {"FreedStackMemory", "pool-free-unknown",
     [] {
         UCHAR local[16];
         ExFreePool(local);
     }},
    // Freeing NULL stops the platform; the caller missed a failed allocation.
    {"FreedNull", "pool-free-null", [] { ExFreePool(nullptr); }},
    // A zero-byte allocation is a size computed wrong.
    {"ZeroBytes", "pool-zero-size",
     [] {
         PVOID block = ExAllocatePoolWithTag(NonPagedPool, 0, kTag);
         ExFreePoolWithTag(block, kTag);
     }},
    // A write past the end of a block corrupts its neighbour.
    {"WrittenPastEnd", "pool-overrun",
     [] {
         hk::SetAsanTraps(false);
         auto* block = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 8, kTag));
         block[8] = 0;
         ExFreePoolWithTag(block, kTag);
     }},
    // ... and so does a write before its start.
    {"WrittenBeforeStart", "pool-underrun",
     [] {
         hk::SetAsanTraps(false);
         auto* block = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 8, kTag));
         block[-1] = 0;
         ExFreePoolWithTag(block, kTag);
     }},
};

INSTANTIATE_TEST_SUITE_P(, VerifierPool, ::testing::ValuesIn(kPoolCases), CaseName<BodyCase>);

class VerifierPoolAtUnload : public VerifierTest {};

// A driver frees its pool before it unloads: afterwards no code is left that
// knows the block.
TEST_F(VerifierPoolAtUnload, LeakReported) {
    FakeDriver driver("LeakyDriver");
    PVOID block = nullptr;
    RunInDispatch(driver, [&block] { block = ExAllocatePoolWithTag(NonPagedPool, 8, kTag); });
    driver.Unload();
    ExpectOnly("pool-leak-at-unload");
    ExFreePoolWithTag(block, kTag);
}

// ---------------------------------------------------------------------------
// Remove locks, each in the extension of a device as drivers keep them.

class VerifierRemoveLock : public VerifierTest {
protected:
    void SetUp() override {
        VerifierTest::SetUp();
        driver_ = std::make_unique<FakeDriver>("LockDriver");
        device_ = driver_->CreateDevice("lock owner", fake::CompleteWith(STATUS_SUCCESS), nullptr,
                                        sizeof(IO_REMOVE_LOCK));
        lock_ = static_cast<PIO_REMOVE_LOCK>(device_->DeviceExtension);
        IoInitializeRemoveLock(lock_, kTag, 0, 0);
    }

    void TearDown() override {
        if (device_ != nullptr) {
            FakeDriver::DestroyDevice(device_);
        }
        driver_.reset();
        VerifierTest::TearDown();
    }

    std::unique_ptr<FakeDriver> driver_;
    PDEVICE_OBJECT device_ = nullptr;
    PIO_REMOVE_LOCK lock_ = nullptr;
    int tagA_ = 0;
    int tagB_ = 0;
};

// A release matches an acquire, or the count falls below the holders and a
// remove goes ahead while I/O is still running.
TEST_F(VerifierRemoveLock, ReleaseWithoutAcquire) {
    IoReleaseRemoveLock(lock_, &tagA_);
    ExpectOnly("remove-lock-release-without-acquire");
}

// A release names the tag its acquire used: the tag is how a leaked holder is
// found.
TEST_F(VerifierRemoveLock, ReleaseWithOtherTag) {
    ASSERT_EQ(IoAcquireRemoveLock(lock_, &tagA_), STATUS_SUCCESS);
    IoReleaseRemoveLock(lock_, &tagB_);
    ExpectOnly("remove-lock-tag-mismatch");
    IoReleaseRemoveLock(lock_, &tagA_);
}

// A refused acquire means the device is going: the request is failed, not
// processed and then released.
TEST_F(VerifierRemoveLock, ReleaseAfterRefusedAcquire) {
    PIO_REMOVE_LOCK lock = lock_;
    driver_->SetHandler(device_, [lock](PDEVICE_OBJECT, PIRP irp) {
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_PNP) {
            IoAcquireRemoveLock(lock, irp);
            IoReleaseRemoveLockAndWait(lock, irp);
            return CompleteNow(irp, STATUS_SUCCESS);
        }
        IoAcquireRemoveLock(lock, irp); // refused, and the refusal ignored
        CompleteNow(irp, STATUS_SUCCESS);
        IoReleaseRemoveLock(lock, irp);
        return STATUS_SUCCESS;
    });
    hk::SendIrp(device_, RequestFor(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE));
    ASSERT_EQ(hk::Violations().size(), 0u);
    hk::SendIrp(device_, RequestFor(IRP_MJ_READ));
    ExpectOnly("remove-lock-release-after-refusal");
}

// Release-and-wait belongs to the remove request: anywhere else it shuts the
// device's I/O off while the device stays.
TEST_F(VerifierRemoveLock, WaitOutsideRemove) {
    PIO_REMOVE_LOCK lock = lock_;
    driver_->SetHandler(device_, [lock](PDEVICE_OBJECT, PIRP irp) {
        IoAcquireRemoveLock(lock, irp);
        IoReleaseRemoveLockAndWait(lock, irp);
        return CompleteNow(irp, STATUS_SUCCESS);
    });
    hk::SendIrp(device_, RequestFor(IRP_MJ_READ));
    ExpectOnly("remove-lock-wait-outside-remove");
}

// A device is deleted only when its remove lock has no holder: a holder is
// running I/O on a device about to be freed.
TEST_F(VerifierRemoveLock, HoldersAtDelete) {
    ASSERT_EQ(IoAcquireRemoveLock(lock_, &tagA_), STATUS_SUCCESS);
    FakeDriver::DestroyDevice(device_);
    device_ = nullptr;
    ExpectOnly("remove-lock-holders-at-delete");
}

// A remove lock is initialised before use (a device extension starts zeroed,
// which is not an initialised lock).
TEST_F(VerifierRemoveLock, Uninitialized) {
    IO_REMOVE_LOCK never{};
    PIO_REMOVE_LOCK lock = &never;
    {
        SCOPED_TRACE("acquire");
        IoAcquireRemoveLock(lock, &tagA_);
        ExpectOnly("remove-lock-uninitialized");
    }
    {
        SCOPED_TRACE("release");
        IoReleaseRemoveLock(lock, &tagA_);
        ExpectOnly("remove-lock-uninitialized");
    }
    {
        SCOPED_TRACE("release and wait, in a remove");
        driver_->SetHandler(device_, [lock](PDEVICE_OBJECT, PIRP irp) {
            IoReleaseRemoveLockAndWait(lock, irp);
            return CompleteNow(irp, STATUS_SUCCESS);
        });
        hk::SendIrp(device_, RequestFor(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE));
        ExpectOnly("remove-lock-uninitialized");
    }
}

// The size passed with a remove lock is the lock's: another size means the
// caller and the kernel disagree on its layout.
TEST_F(VerifierRemoveLock, WrongSize) {
    IO_REMOVE_LOCK other{};
    IoInitializeRemoveLockEx(&other, kTag, 0, 0, sizeof(IO_REMOVE_LOCK) - 1);
    ExpectOnly("remove-lock-size");
}

// A held remove lock is not initialised again: its holders would be forgotten.
TEST_F(VerifierRemoveLock, ReinitializedWhileHeld) {
    ASSERT_EQ(IoAcquireRemoveLock(lock_, &tagA_), STATUS_SUCCESS);
    IoInitializeRemoveLock(lock_, kTag, 0, 0);
    ExpectOnly("remove-lock-reinitialized");
}

// ---------------------------------------------------------------------------
// Devices, their stacks and the PnP life.

class VerifierDevices : public VerifierTest {};

// After a full remove every device of the stack is detached and deleted: a
// device left attached receives requests for hardware that is gone.
TEST_F(VerifierDevices, FilterLeftAfterRemove) {
    FakeDriver bus("BusDriver");
    FakeDriver filter("FilterDriver");
    PDEVICE_OBJECT pdo = bus.CreateDevice("pdo", fake::CompleteWith(STATUS_SUCCESS));
    PDEVICE_OBJECT fido = filter.CreateDevice("filter", fake::PassDownTo(pdo), pdo);
    std::vector<PDEVICE_OBJECT> stack = hk::StackAbove(pdo);
    hk::SendIrp(fido, RequestFor(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE));
    hk::CheckRemoved(stack);
    ExpectOnly("device-not-removed");
    FakeDriver::DestroyDevice(fido);
    FakeDriver::DestroyDevice(pdo);
}

// The counter-case: a filter that stays on purpose and says so is not reported.
TEST_F(VerifierDevices, OrphanedFilterNotReported) {
    FakeDriver bus("BusDriver");
    FakeDriver filter("FilterDriver");
    PDEVICE_OBJECT pdo = bus.CreateDevice("pdo", fake::CompleteWith(STATUS_SUCCESS));
    PDEVICE_OBJECT fido = filter.CreateDevice("filter", fake::PassDownTo(pdo), pdo);
    std::vector<PDEVICE_OBJECT> stack = hk::StackAbove(pdo);
    hk::SendIrp(fido, RequestFor(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE));
    hk::MarkOrphanedFilter(fido, true);
    hk::CheckRemoved(stack);
    ExpectRules({});
    FakeDriver::DestroyDevice(fido);
    FakeDriver::DestroyDevice(pdo);
}

// AddDevice clears DO_DEVICE_INITIALIZING on the device it adds, or the PnP
// manager never sends it a request.
TEST_F(VerifierDevices, AddDeviceLeavesInitializing) {
    FakeDriver bus("BusDriver");
    FakeDriver function("FunctionDriver");
    PDEVICE_OBJECT pdo = bus.CreateDevice("pdo", fake::CompleteWith(STATUS_SUCCESS));
    function.object()->DriverExtension->AddDevice = [](PDRIVER_OBJECT driver,
                                                       PDEVICE_OBJECT below) -> NTSTATUS {
        PDEVICE_OBJECT device = nullptr;
        NTSTATUS status =
            IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
        if (NT_SUCCESS(status)) {
            IoAttachDeviceToDeviceStack(device, below);
        }
        return status;
    };
    EXPECT_EQ(hk::CallAddDevice(function.object(), pdo), STATUS_SUCCESS);
    ExpectOnly("device-initializing");
    PDEVICE_OBJECT added = function.object()->DeviceObject;
    ASSERT_NE(added, nullptr);
    IoDetachDevice(pdo);
    IoDeleteDevice(added);
    FakeDriver::DestroyDevice(pdo);
}

// No request reaches a device still initialising: its extension is not set up.
TEST_F(VerifierDevices, RequestToInitializingDevice) {
    FakeDriver driver("EarlyDriver");
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(driver.object(), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_SUCCESS);
    hk::SendIrp(device, hk::IrpSpec{});
    ExpectOnly("device-initializing");
    IoDeleteDevice(device);
}

// A device held by a device node is deleted only after the node lets go: the
// PnP manager still sends it requests.
TEST_F(VerifierDevices, DeletedWhileHeldByDevnode) {
    FakeDriver bus("BusDriver");
    PDEVICE_OBJECT pdo = RawDevice(bus);
    hk::SetHeldByDevnode(pdo, true);
    IoDeleteDevice(pdo);
    ExpectOnly("device-deleted-held");
}

// A device may be deleted while a device is still attached above it (a PDO
// deletes itself while the remove request passes through it); its memory
// stays until the device above detaches, and one that never does is a leak.
TEST_F(VerifierDevices, DeletedWithDeviceAttachedStaysUntilDetached) {
    FakeDriver bus("BusDriver");
    FakeDriver filter("FilterDriver");
    PDEVICE_OBJECT pdo = RawDevice(bus);
    PDEVICE_OBJECT fido = RawDevice(filter, pdo);
    IoDeleteDevice(pdo);
    ExpectRules({});
    EXPECT_TRUE(LeakMentions("is still attached to it"));
    EXPECT_EQ(hk::ReferenceCount(pdo), 1);
    IoDetachDevice(pdo);
    EXPECT_EQ(hk::ReferenceCount(pdo), 0) << "freed once the device above detached";
    IoDeleteDevice(fido);
}

// A device detaches before it is deleted: the lower device still points at it.
TEST_F(VerifierDevices, DeletedWhileAttached) {
    FakeDriver bus("BusDriver");
    FakeDriver filter("FilterDriver");
    PDEVICE_OBJECT pdo = RawDevice(bus);
    PDEVICE_OBJECT fido = RawDevice(filter, pdo);
    ObReferenceObject(fido);
    IoDeleteDevice(fido);
    ExpectOnly("device-deleted-attached");
    IoDetachDevice(pdo);
    ObDereferenceObject(fido);
    IoDeleteDevice(pdo);
}

// A device is deleted once.
TEST_F(VerifierDevices, DeletedTwice) {
    FakeDriver driver("OneDriver");
    PDEVICE_OBJECT device = RawDevice(driver);
    ObReferenceObject(device);
    IoDeleteDevice(device);
    IoDeleteDevice(device);
    ExpectOnly("device-deleted-twice");
    ObDereferenceObject(device);
}

// Detaching from a device with nothing attached means the caller lost track of
// its own stack.
TEST_F(VerifierDevices, DetachNothingAttached) {
    FakeDriver driver("OneDriver");
    PDEVICE_OBJECT device = RawDevice(driver);
    IoDetachDevice(device);
    ExpectOnly("detach-nothing-attached");
    IoDeleteDevice(device);
}

// A driver unloads only after its devices are gone: their dispatch routines
// would be unloaded code.
TEST_F(VerifierDevices, UnloadedWithDevices) {
    FakeDriver driver("OneDriver");
    PDEVICE_OBJECT device = RawDevice(driver);
    driver.Unload();
    ExpectOnly("driver-unloaded-with-devices");
    IoDeleteDevice(device);
}

// ---------------------------------------------------------------------------
// Objects and handles.

class VerifierObjects : public VerifierTest {};

// A reference is dropped only by its holder: one drop too many frees the
// object under someone else.
TEST_F(VerifierObjects, ReferenceBelowZero) {
    HANDLE handle = hk::CreateEventHandle(nullptr, NotificationEvent);
    PVOID event = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, EVENT_MODIFY_STATE, *ExEventObjectType, KernelMode,
                                        &event, nullptr),
              STATUS_SUCCESS);
    hk::CloseHandle(nullptr, handle);
    ObDereferenceObject(event);
    ObDereferenceObject(event);
    ExpectOnly("object-reference-below-zero");
}

// Every reference taken is dropped; one that is not keeps the object forever
// and shows in the leak report.
TEST_F(VerifierObjects, ReferenceLeaked) {
    HANDLE handle = hk::CreateEventHandle(nullptr, NotificationEvent);
    PVOID event = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, EVENT_MODIFY_STATE, *ExEventObjectType, KernelMode,
                                        &event, nullptr),
              STATUS_SUCCESS);
    hk::CloseHandle(nullptr, handle);
    EXPECT_TRUE(LeakMentions("reference(s) not owned by any handle"));
    ObDereferenceObject(event);
}

// A handle from a user-mode request is looked up with UserMode access: with
// KernelMode a caller could name a kernel handle and reach its object.
TEST_F(VerifierObjects, UserRequestReachesKernelHandle) {
    HANDLE kernelHandle = hk::CreateEventHandle(nullptr, NotificationEvent);
    FakeDriver driver("HandleDriver");
    PDEVICE_OBJECT device =
        driver.CreateDevice("control", [kernelHandle](PDEVICE_OBJECT, PIRP irp) {
            PVOID event = nullptr;
            if (NT_SUCCESS(ObReferenceObjectByHandle(kernelHandle, EVENT_MODIFY_STATE,
                                                     *ExEventObjectType, KernelMode, &event,
                                                     nullptr))) {
                ObDereferenceObject(event);
            }
            return CompleteNow(irp, STATUS_SUCCESS);
        });
    hk::IrpSpec spec = RequestFor(IRP_MJ_DEVICE_CONTROL);
    spec.requestorMode = UserMode;
    hk::SendIrp(device, spec);
    ExpectOnly("user-request-kernel-handle");
    FakeDriver::DestroyDevice(device);
    hk::CloseHandle(nullptr, kernelHandle);
}

} // namespace
