// The driver's entry, dispatch routing and forwarding against fake lower
// drivers that answer synchronously or pend and complete from another thread.

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "driver_fixture.h"

namespace {

POWER_STATE DeviceState(DEVICE_POWER_STATE state) {
    POWER_STATE power;
    power.DeviceState = state;
    return power;
}

TEST(DriverEntryTest, FillsTheDispatchTableAndInitialisesTheControlMutex) {
    hk::Reset();
    memset(&DriverState, 0, sizeof(DriverState));
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    PDRIVER_OBJECT driver = hk::LoadDriver("VexaPCMFilter", DriverEntry, &status);
    EXPECT_EQ(status, STATUS_SUCCESS);

    // Every major function forwards, except the eight the driver handles.
    std::map<UCHAR, PDRIVER_DISPATCH> handled = {
        {IRP_MJ_PNP, DispatchPnp},
        {IRP_MJ_POWER, DispatchPower},
        {IRP_MJ_WRITE, DispatchWrite},
        {IRP_MJ_INTERNAL_DEVICE_CONTROL, DispatchScsi},
        {IRP_MJ_DEVICE_CONTROL, DispatchControl},
        {IRP_MJ_CLEANUP, DispatchControl},
        {IRP_MJ_CLOSE, DispatchControl},
        {IRP_MJ_CREATE, DispatchControl},
    };
    for (UCHAR major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        auto it = handled.find(major);
        PDRIVER_DISPATCH expected = it == handled.end() ? DispatchPassThrough : it->second;
        EXPECT_EQ(driver->MajorFunction[major], expected) << "major function " << int(major);
    }
    EXPECT_EQ(driver->DriverExtension->AddDevice, FilterAddDevice);
    EXPECT_EQ(driver->DriverUnload, DriverUnload);

    // The control mutex is free: count 1, no owner, no contention, its event a
    // synchronization event that is not signalled.
    EXPECT_EQ(DriverState.ControlMutex.Count, 1);
    EXPECT_EQ(DriverState.ControlMutex.Owner, nullptr);
    EXPECT_EQ(DriverState.ControlMutex.Contention, 0u);
    EXPECT_EQ(DriverState.ControlMutex.Event.Header.Type, SynchronizationEvent);
    EXPECT_EQ(KeReadStateEvent(&DriverState.ControlMutex.Event), 0);

    hk::UnloadDriver(driver);
    EXPECT_EQ(hk::CheckClean(), "");
}

// A fake card below one filter, in both answering modes.
class ForwardingTest : public DriverTest, public ::testing::WithParamInterface<LowerMode> {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        lowerDriver_ = std::make_unique<FakeDriver>("card");
        lower_ = lowerDriver_->CreateDevice("card pdo", Answer(GetParam(), STATUS_SUCCESS, 7));
        filter_ = CreateFilter(lower_, "filter");
    }

    void TearDown() override {
        if (hk::DeviceExists(filter_)) {
            RemoveFilter(filter_);
        }
        FakeDriver::DestroyDevice(lower_);
        lowerDriver_.reset();
        DriverTest::TearDown();
    }

    std::unique_ptr<FakeDriver> lowerDriver_;
    PDEVICE_OBJECT lower_ = nullptr;
    PDEVICE_OBJECT filter_ = nullptr;
};

INSTANTIATE_TEST_SUITE_P(BothModes, ForwardingTest,
                         ::testing::Values(LowerMode::Synchronous, LowerMode::Pending),
                         LowerModeName);

// Requests of major functions the driver does not handle reach the lower
// device unchanged, under the filter's remove lock, and the lower driver's
// answer comes back as it was given.
TEST_P(ForwardingTest, UnhandledMajorFunctionsAreForwardedUnderTheRemoveLock) {
    for (UCHAR major : {IRP_MJ_READ, IRP_MJ_FLUSH_BUFFERS, IRP_MJ_SYSTEM_CONTROL,
                        IRP_MJ_QUERY_INFORMATION, IRP_MJ_SHUTDOWN}) {
        SCOPED_TRACE(int(major));
        std::atomic<int> calls{0};
        LONG holdersSeen = 0;
        ULONG lengthSeen = 0;
        FakeDriver::Handler answer = Answer(GetParam(), STATUS_SUCCESS, 7);
        lowerDriver_->SetHandler(lower_, [&, answer](PDEVICE_OBJECT device, PIRP irp) {
            ++calls;
            // The filter holds its remove lock while the request is below it.
            holdersSeen = Extension(filter_)->RemoveLock.Common.IoCount;
            lengthSeen = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
            return answer(device, irp);
        });
        hk::IrpSpec spec;
        spec.major = major;
        spec.parameters = [](PIO_STACK_LOCATION stack) { stack->Parameters.Read.Length = 512; };
        hk::IoResult result = hk::SendIrp(filter_, spec);
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_EQ(result.information, 7u);
        EXPECT_EQ(result.returnedPending, GetParam() == LowerMode::Pending);
        EXPECT_EQ(calls.load(), 1);
        EXPECT_EQ(holdersSeen, 2); // the bias plus this request
        EXPECT_EQ(lengthSeen, 512u);
    }
    // Every hold was released again.
    EXPECT_EQ(Extension(filter_)->RemoveLock.Common.IoCount, 1);
}

// A failure below is returned unchanged.
TEST_P(ForwardingTest, LowerFailureIsReturnedUnchanged) {
    lowerDriver_->SetHandler(lower_, Answer(GetParam(), STATUS_NO_SUCH_DEVICE));
    hk::IrpSpec spec;
    spec.major = IRP_MJ_READ;
    EXPECT_EQ(hk::SendIrp(filter_, spec).status, STATUS_NO_SUCH_DEVICE);
}

// Once removal has begun, a new request is completed at the filter with the
// remove lock's status and never reaches the lower device, while removal waits
// for the request that is still inside the lower driver's dispatch routine.
TEST_P(ForwardingTest, RequestAfterRemovalBeganIsRefused) {
    std::mutex lock;
    std::condition_variable changed;
    bool inside = false;
    bool open = false;
    std::atomic<int> calls{0};
    FakeDriver::Handler answer = Answer(GetParam(), STATUS_SUCCESS, 9);
    lowerDriver_->SetHandler(lower_, [&, answer](PDEVICE_OBJECT device, PIRP irp) {
        ++calls;
        std::unique_lock<std::mutex> guard(lock);
        inside = true;
        changed.notify_all();
        changed.wait(guard, [&]() { return open; });
        guard.unlock();
        return answer(device, irp);
    });
    std::atomic<NTSTATUS> firstStatus{STATUS_UNSUCCESSFUL};
    hk::QueueWork([&]() {
        hk::IrpSpec first;
        first.major = IRP_MJ_READ;
        firstStatus = hk::SendIrp(filter_, first).status;
    });
    {
        std::unique_lock<std::mutex> guard(lock);
        changed.wait(guard, [&]() { return inside; });
    }
    // Removal begins on another thread and waits for the request below.  A
    // reference keeps the device object while the test still addresses it.
    ObfReferenceObject(filter_);
    PFILTER_EXTENSION extension = Extension(filter_);
    hk::QueueWork([this]() { RemoveFilter(filter_); });
    while (extension->RemoveLock.Common.Removed == FALSE) {
        std::this_thread::yield();
    }

    hk::IrpSpec late;
    late.major = IRP_MJ_READ;
    EXPECT_EQ(hk::SendIrp(filter_, late).status, STATUS_DELETE_PENDING);
    hk::IoResult power =
        hk::SendPowerIrp(filter_, IRP_MN_SET_POWER, DevicePowerState, DeviceState(PowerDeviceD0));
    EXPECT_EQ(power.status, STATUS_DELETE_PENDING);
    EXPECT_EQ(calls.load(), 1) << "refused requests never reach the lower device";
    EXPECT_TRUE(hk::DeviceExists(filter_)) << "removal waits for the request below";

    {
        std::lock_guard<std::mutex> guard(lock);
        open = true;
        changed.notify_all();
    }
    hk::DrainWork();
    EXPECT_EQ(firstStatus.load(), STATUS_SUCCESS);
    EXPECT_FALSE(hk::DeviceExists(filter_));
    ObfDereferenceObject(filter_);
}

// A power request reaches PoStartNextPowerIrp exactly once at the filter (the
// verifier counts it) and goes down with PoCallDriver.
TEST_P(ForwardingTest, PowerRequestsStartTheNextOneExactlyOnce) {
    std::atomic<int> calls{0};
    FakeDriver::Handler answer = Answer(GetParam(), STATUS_SUCCESS);
    lowerDriver_->SetHandler(lower_, [&, answer](PDEVICE_OBJECT device, PIRP irp) {
        ++calls;
        PoStartNextPowerIrp(irp);
        return answer(device, irp);
    });
    hk::IoResult result =
        hk::SendPowerIrp(filter_, IRP_MN_SET_POWER, DevicePowerState, DeviceState(PowerDeviceD3));
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(calls.load(), 1);
}

// Requests addressed to the control device are never filter traffic: the
// control device has no lower device.  Major functions other than create,
// close, cleanup and device control are refused, also after ControlDevice was
// cleared by a deletion racing with the request.
TEST_F(DriverTest, OtherRequestsToTheControlDeviceAreRefused) {
    PDEVICE_OBJECT control = nullptr;
    ASSERT_EQ(IoCreateDevice(driver_, sizeof(CONTROL_EXTENSION), nullptr, FILE_DEVICE_UNKNOWN,
                             FILE_DEVICE_SECURE_OPEN, FALSE, &control),
              STATUS_SUCCESS);
    control->Flags |= DO_BUFFERED_IO;
    control->Flags &= ~DO_DEVICE_INITIALIZING;
    for (PDEVICE_OBJECT registered : {control, static_cast<PDEVICE_OBJECT>(nullptr)}) {
        DriverState.ControlDevice = registered;
        for (UCHAR major :
             {IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_INTERNAL_DEVICE_CONTROL, IRP_MJ_FLUSH_BUFFERS}) {
            SCOPED_TRACE(int(major));
            hk::IrpSpec spec;
            spec.major = major;
            EXPECT_EQ(hk::SendIrp(control, spec).status, STATUS_INVALID_DEVICE_REQUEST);
        }
        // A PnP request the control device does not handle keeps its status, as
        // any driver leaves the status of a PnP request it does not handle.
        hk::IrpSpec pnp;
        pnp.major = IRP_MJ_PNP;
        pnp.minor = IRP_MN_QUERY_CAPABILITIES;
        pnp.initialStatus = STATUS_NOT_SUPPORTED;
        EXPECT_EQ(hk::SendIrp(control, pnp).status, STATUS_NOT_SUPPORTED);
        hk::IoResult power = hk::SendPowerIrp(control, IRP_MN_SET_POWER, DevicePowerState,
                                              DeviceState(PowerDeviceD0));
        EXPECT_EQ(power.status, STATUS_INVALID_DEVICE_REQUEST);
    }
    DriverState.ControlDevice = nullptr;
    IoDeleteDevice(control);
}

// The completion routine of every request the driver waits for keeps the
// request with its sender and wakes the sender only when the lower driver
// pended.
TEST_P(ForwardingTest, SyncCompletionKeepsTheRequestAndWakesAPendedSender) {
    lowerDriver_->SetHandler(lower_, Answer(GetParam(), STATUS_NO_SUCH_DEVICE, 3));
    PIRP irp = IoAllocateIrp(static_cast<CCHAR>(lower_->StackSize + 1), FALSE);
    ASSERT_NE(irp, nullptr);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_READ;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SyncCompletion, &event, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(lower_, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    } else {
        // A synchronous answer does not signal the event.
        EXPECT_EQ(KeReadStateEvent(&event), 0);
    }
    EXPECT_EQ(status == STATUS_PENDING, GetParam() == LowerMode::Pending);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(irp->IoStatus.Information, 3u);
    IoFreeIrp(irp);
}

} // namespace
