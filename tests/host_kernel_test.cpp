// The host kernel's own semantics: what the driver relies on from each service,
// shown with fake drivers.  (The verifier's rules have their own file.)

#include <atomic>
#include <thread>

#include "host_fixture.h"

namespace {

// ---------------------------------------------------------------------------
// Requests and completion.

struct CompletionLog {
    std::vector<std::string> calls;
    NTSTATUS answer = STATUS_SUCCESS;
};

NTSTATUS Record(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    auto* log = static_cast<CompletionLog*>(context);
    log->calls.push_back(device == nullptr ? "top" : hk::DeviceLabel(device));
    if (irp->PendingReturned && log->answer != STATUS_MORE_PROCESSING_REQUIRED) {
        IoMarkIrpPending(irp);
    }
    return log->answer;
}

class RequestTest : public HostKernelTest, public ::testing::WithParamInterface<LowerMode> {};

INSTANTIATE_TEST_SUITE_P(BothModes, RequestTest,
                         ::testing::Values(LowerMode::Synchronous, LowerMode::Pending),
                         LowerModeName);

// Completion runs the routines bottom-up, each with the device of the driver
// that set it, and STATUS_MORE_PROCESSING_REQUIRED stops it until the keeper
// completes the request again.
TEST_P(RequestTest, CompletionRoutinesRunBottomUpAndMoreProcessingStopsThem) {
    FakeDriver driver("stack");
    PDEVICE_OBJECT bottom = driver.CreateDevice("bottom", Answer(GetParam(), STATUS_SUCCESS, 5));
    CompletionLog lowerLog, upperLog;
    PDEVICE_OBJECT middle = nullptr;
    middle = driver.CreateDevice(
        "middle",
        [&](PDEVICE_OBJECT, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, Record, &lowerLog, TRUE, TRUE, TRUE);
            return IoCallDriver(bottom, irp);
        },
        bottom);
    PDEVICE_OBJECT top = driver.CreateDevice(
        "top",
        [&](PDEVICE_OBJECT, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, Record, &upperLog, TRUE, TRUE, TRUE);
            return IoCallDriver(middle, irp);
        },
        middle);
    EXPECT_EQ(top->StackSize, 3);

    hk::IrpSpec spec;
    spec.major = IRP_MJ_READ;
    hk::IoResult result = hk::SendIrp(top, spec);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 5u);
    EXPECT_EQ(lowerLog.calls, std::vector<std::string>{"middle"});
    EXPECT_EQ(upperLog.calls, std::vector<std::string>{"top"});
    EXPECT_EQ(result.returnedPending, GetParam() == LowerMode::Pending);

    FakeDriver::DestroyDevice(top);
    FakeDriver::DestroyDevice(middle);
    FakeDriver::DestroyDevice(bottom);
}

TEST_P(RequestTest, MoreProcessingKeepsTheRequestUntilItsKeeperCompletesIt) {
    FakeDriver driver("stack");
    PDEVICE_OBJECT bottom = driver.CreateDevice("bottom", Answer(GetParam(), STATUS_SUCCESS));
    CompletionLog log;
    log.answer = STATUS_MORE_PROCESSING_REQUIRED;
    PDEVICE_OBJECT filter = driver.CreateDevice(
        "filter",
        [&](PDEVICE_OBJECT, PIRP irp) {
            KEVENT done;
            KeInitializeEvent(&done, NotificationEvent, FALSE);
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(
                irp,
                [](PDEVICE_OBJECT, PIRP kept, PVOID context) -> NTSTATUS {
                    if (kept->PendingReturned) {
                        KeSetEvent(static_cast<PKEVENT>(context), 0, FALSE);
                    }
                    return STATUS_MORE_PROCESSING_REQUIRED;
                },
                &done, TRUE, TRUE, TRUE);
            NTSTATUS status = IoCallDriver(bottom, irp);
            if (status == STATUS_PENDING) {
                KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
            }
            // The request is ours again: change the answer and complete it.
            irp->IoStatus.Status = STATUS_NO_SUCH_DEVICE;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_NO_SUCH_DEVICE;
        },
        bottom);
    hk::IrpSpec spec;
    spec.major = IRP_MJ_FLUSH_BUFFERS;
    EXPECT_EQ(hk::SendIrp(filter, spec).status, STATUS_NO_SUCH_DEVICE);
    FakeDriver::DestroyDevice(filter);
    FakeDriver::DestroyDevice(bottom);
}

// A pended request that passes filters without completion routines carries
// PendingReturned to the top: each location is marked on the way up.
TEST_F(HostKernelTest, PendingReturnedPropagatesThroughSkippingFilters) {
    FakeDriver driver("stack");
    PDEVICE_OBJECT bottom = driver.CreateDevice("bottom", fake::PendThenComplete(STATUS_SUCCESS));
    PDEVICE_OBJECT middle = driver.CreateDevice("middle", fake::PassDownTo(bottom), bottom);
    PDEVICE_OBJECT top = driver.CreateDevice("top", fake::PassDownTo(middle), middle);
    hk::IrpSpec spec;
    spec.major = IRP_MJ_READ;
    hk::IoResult result = hk::SendIrp(top, spec);
    EXPECT_TRUE(result.returnedPending);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    FakeDriver::DestroyDevice(top);
    FakeDriver::DestroyDevice(middle);
    FakeDriver::DestroyDevice(bottom);
}

// A buffered device-control request gets a system buffer of max(in, out)
// bytes that holds the input, and the caller receives the first Information
// bytes of it.
TEST_F(HostKernelTest, BufferedControlRequestsShareOneSystemBuffer) {
    FakeDriver driver("echo");
    PDEVICE_OBJECT device = driver.CreateDevice("echo", [](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
        EXPECT_EQ(stack->Parameters.DeviceIoControl.InputBufferLength, 2u);
        EXPECT_EQ(stack->Parameters.DeviceIoControl.OutputBufferLength, 4u);
        buffer[2] = static_cast<UCHAR>(buffer[0] + buffer[1]);
        buffer[3] = 0x55;
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = 3;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    });
    hk::IrpSpec spec;
    spec.major = IRP_MJ_DEVICE_CONTROL;
    spec.buffered = true;
    spec.input = {1, 2};
    spec.outputLength = 4;
    hk::IoResult result = hk::SendIrp(device, spec);
    EXPECT_EQ(result.output, (std::vector<UCHAR>{1, 2, 3}));
    FakeDriver::DestroyDevice(device);
}

// ---------------------------------------------------------------------------
// Events, IRQL and locks.

// A waiter really blocks until another thread signals; a synchronization event
// lets one waiter through and resets itself.
TEST_F(HostKernelTest, EventsBlockUntilSignalledAcrossThreads) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    std::atomic<bool> released{false};
    hk::QueueWork([&]() {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        released = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(released.load());
    KeSetEvent(&event, 0, FALSE);
    hk::DrainWork();
    EXPECT_TRUE(released.load());
    EXPECT_EQ(KeReadStateEvent(&event), 0) << "a synchronization event resets when it releases";
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
}

TEST_F(HostKernelTest, SpinLocksRaiseToDispatchAndFastMutexesToApc) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    ExAcquireFastMutex(&mutex);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    ExReleaseFastMutex(&mutex);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

// Spin locks and fast mutexes exclude: two threads incrementing a counter
// under them lose no update.
TEST_F(HostKernelTest, LocksExcludeOtherThreads) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    long spinCounter = 0, mutexCounter = 0;
    for (int worker = 0; worker < 4; ++worker) {
        hk::QueueWork([&]() {
            for (int i = 0; i < 2000; ++i) {
                KIRQL old;
                KeAcquireSpinLock(&lock, &old);
                ++spinCounter;
                KeReleaseSpinLock(&lock, old);
                ExAcquireFastMutex(&mutex);
                ++mutexCounter;
                ExReleaseFastMutex(&mutex);
            }
        });
    }
    hk::DrainWork();
    EXPECT_EQ(spinCounter, 8000);
    EXPECT_EQ(mutexCounter, 8000);
}

// ---------------------------------------------------------------------------
// Remove locks.

// After release-and-wait began, acquisitions are refused, and release-and-wait
// returns only when the last other holder has released.
TEST_F(HostKernelTest, RemoveLockRefusesAfterRemovalAndWaitsForHolders) {
    FakeDriver driver("owner");
    static IO_REMOVE_LOCK lock;
    static std::atomic<bool> waitReturned{false};
    waitReturned = false;
    IoInitializeRemoveLock(&lock, hk::TagFromText("Test"), 1, 100);
    int holder = 0;
    ASSERT_EQ(IoAcquireRemoveLock(&lock, &holder), STATUS_SUCCESS);

    PDEVICE_OBJECT device = driver.CreateDevice("owner", [](PDEVICE_OBJECT, PIRP irp) {
        EXPECT_EQ(IoAcquireRemoveLock(&lock, irp), STATUS_SUCCESS);
        IoReleaseRemoveLockAndWait(&lock, irp);
        waitReturned = true;
        return fake::CompleteWith(STATUS_SUCCESS)(nullptr, irp);
    });
    hk::QueueWork([device]() {
        hk::IrpSpec spec;
        spec.major = IRP_MJ_PNP;
        spec.minor = IRP_MN_REMOVE_DEVICE;
        hk::SendIrp(device, spec);
    });
    while (!lock.Common.Removed) {
        std::this_thread::yield();
    }
    int late = 0;
    EXPECT_EQ(IoAcquireRemoveLock(&lock, &late), STATUS_DELETE_PENDING);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(waitReturned.load()) << "release-and-wait returned while a holder remained";
    IoReleaseRemoveLock(&lock, &holder);
    hk::DrainWork();
    EXPECT_TRUE(waitReturned.load());
    FakeDriver::DestroyDevice(device);
}

// ---------------------------------------------------------------------------
// Pool.

// Fresh pool is not zeroed; each block is tracked with its tag until freed;
// injected failures hit exactly the planned allocation.
TEST_F(HostKernelTest, PoolTracksTagsAndInjectsFailures) {
    auto* block =
        static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 8, hk::TagFromText("LRDF")));
    ASSERT_NE(block, nullptr);
    EXPECT_NE(block[0], 0) << "fresh pool holds a pattern, not zeros";
    ASSERT_EQ(hk::OutstandingPool().size(), 1u);
    EXPECT_EQ(hk::TagText(hk::OutstandingPool()[0].tag), "LRDF");
    EXPECT_EQ(hk::TagFromText("LRDF"), 0x4644524Cu);

    hk::FailNthAllocation(2);
    PVOID first = ExAllocatePoolWithTag(NonPagedPool, 4, hk::TagFromText("AAAA"));
    PVOID second = ExAllocatePoolWithTag(NonPagedPool, 4, hk::TagFromText("AAAA"));
    PVOID third = ExAllocatePoolWithTag(NonPagedPool, 4, hk::TagFromText("AAAA"));
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr);

    hk::FailNextAllocationWithTag(hk::TagFromText("BBBB"));
    EXPECT_NE(ExAllocatePool(NonPagedPool, 4), nullptr) << "other tags are not affected";
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 4, hk::TagFromText("BBBB")), nullptr);
    PVOID fourth = ExAllocatePoolWithTag(NonPagedPool, 4, hk::TagFromText("BBBB"));
    EXPECT_NE(fourth, nullptr);

    for (const hk::PoolBlock& leftover : hk::OutstandingPool()) {
        ExFreePoolWithTag(leftover.address, 0);
    }
    EXPECT_TRUE(hk::OutstandingPool().empty());
}

// ---------------------------------------------------------------------------
// Objects and handles.

// Handles belong to a process; a user-mode reference checks the granted
// access and can never reach a kernel handle; the object type is checked.
TEST_F(HostKernelTest, HandlesAreCheckedByProcessAccessModeAndType) {
    hk::Process* service = hk::CreateProcess("service", hk::Identity::LocalSystem);
    hk::Process* other = hk::CreateProcess("other", hk::Identity::User);
    HANDLE event = hk::CreateEventHandle(service, NotificationEvent, SYNCHRONIZE);
    HANDLE weak = hk::CreateEventHandle(service, NotificationEvent, EVENT_QUERY_STATE);
    HANDLE kernel = hk::CreateEventHandle(nullptr, NotificationEvent);
    FakeDriver driver("dev");
    PDEVICE_OBJECT device = driver.CreateDevice("dev", fake::CompleteWith(STATUS_SUCCESS));
    HANDLE deviceHandle = hk::CreateDeviceHandle(service, device, GENERIC_ALL);

    PVOID object = nullptr;
    {
        hk::ProcessScope scope(service);
        EXPECT_EQ(ObReferenceObjectByHandle(event, SYNCHRONIZE, *ExEventObjectType, UserMode,
                                            &object, nullptr),
                  STATUS_SUCCESS);
        EXPECT_EQ(object, hk::ObjectOfHandle(service, event));
        EXPECT_EQ(hk::ReferenceCount(object), 2); // the handle and ours
        ObDereferenceObject(object);
        EXPECT_EQ(ObReferenceObjectByHandle(weak, SYNCHRONIZE, *ExEventObjectType, UserMode,
                                            &object, nullptr),
                  STATUS_ACCESS_DENIED);
        EXPECT_EQ(ObReferenceObjectByHandle(kernel, SYNCHRONIZE, *ExEventObjectType, UserMode,
                                            &object, nullptr),
                  STATUS_INVALID_HANDLE);
        EXPECT_EQ(ObReferenceObjectByHandle(deviceHandle, SYNCHRONIZE, *ExEventObjectType, UserMode,
                                            &object, nullptr),
                  STATUS_OBJECT_TYPE_MISMATCH);
    }
    {
        // The same handle value means nothing in another process.
        hk::ProcessScope scope(other);
        EXPECT_EQ(ObReferenceObjectByHandle(event, SYNCHRONIZE, *ExEventObjectType, UserMode,
                                            &object, nullptr),
                  STATUS_INVALID_HANDLE);
    }
    EXPECT_TRUE(hk::IsKernelHandle(kernel));
    EXPECT_EQ(hk::CloseHandle(nullptr, kernel), STATUS_SUCCESS);
    hk::DestroyProcess(service);
    hk::DestroyProcess(other);
    FakeDriver::DestroyDevice(device);
}

// Named devices and symbolic links form a namespace: a link resolves to its
// device, a second object of the same name collides.
TEST_F(HostKernelTest, NamedDevicesAndLinks) {
    FakeDriver driver("named");
    UNICODE_STRING name, link;
    RtlInitUnicodeString(&name, WIDE("\\Device\\Sample"));
    RtlInitUnicodeString(&link, WIDE("\\DosDevices\\Sample1"));
    PDEVICE_OBJECT device = nullptr, second = nullptr;
    ASSERT_EQ(IoCreateDevice(driver.object(), 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_SUCCESS);
    EXPECT_EQ(IoCreateDevice(driver.object(), 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &second),
              STATUS_OBJECT_NAME_COLLISION);
    ASSERT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_SUCCESS);
    EXPECT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(hk::ResolveDeviceName(u"\\DosDevices\\SAMPLE1"), device);
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_OBJECT_NAME_NOT_FOUND);
    IoDeleteDevice(device);
    EXPECT_EQ(hk::DeviceByName(u"\\Device\\Sample"), nullptr);
}

// A deleted device object stays in memory while references remain and goes
// with the last one.
TEST_F(HostKernelTest, DeletedDevicesLiveUntilTheLastReference) {
    FakeDriver driver("dev");
    PDEVICE_OBJECT device = driver.CreateDevice("dev", fake::CompleteWith(STATUS_SUCCESS));
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
    EXPECT_EQ(top, device);
    FakeDriver::DestroyDevice(device);
    EXPECT_TRUE(hk::DeviceDeleted(device));
    EXPECT_EQ(hk::ReferenceCount(device), 1);
    ObDereferenceObject(device);
    EXPECT_EQ(hk::ReferenceCount(device), 0);
}

TEST_F(HostKernelTest, WdmVersionAnswerIsSettable) {
    EXPECT_TRUE(IoIsWdmVersionAvailable(1, 0x20));
    hk::SetWdmVersionAvailable(false);
    EXPECT_FALSE(IoIsWdmVersionAvailable(1, 0x20));
    EXPECT_TRUE(IoIsWdmVersionAvailable(1, 0x10));
}

} // namespace
