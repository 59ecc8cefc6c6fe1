// Test fixture and fake drivers over the host kernel.
//
// Every test that runs driver code derives its fixture from HostKernelTest: the
// host kernel starts clean, and the test ends by asserting that the verifier
// recorded nothing, nothing leaked (pool, requests, references, remove-lock
// holders) and the thread is back at PASSIVE_LEVEL.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "kernel/host/host_control.h"

class HostKernelTest : public ::testing::Test {
protected:
    void SetUp() override { hk::Reset(); }

    void TearDown() override {
        hk::DrainWork();
        EXPECT_EQ(hk::CheckClean(), "") << "the machine is not clean at the end of the test";
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
        hk::Reset();
    }

    // Asserts that the verifier recorded `rule` (at least once), then forgets
    // every finding so that the teardown judges only what else happened.
    void ExpectViolation(const std::string& rule) {
        std::vector<hk::Violation> found = hk::Violations();
        bool seen = false;
        std::string all;
        for (const hk::Violation& v : found) {
            seen = seen || v.rule == rule;
            all += "  " + v.rule + ": " + v.detail + "\n";
        }
        EXPECT_TRUE(seen) << "expected the verifier to record " << rule << "; it recorded:\n"
                          << all;
        hk::ClearViolations();
    }
};

// A fake WDM driver whose behaviour each test writes as a lambda per device.
// One driver object serves any number of devices; requests of every major
// function land in the handler of the device they are addressed to.
class FakeDriver {
public:
    using Handler = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

    explicit FakeDriver(const std::string& name) {
        driver_ = hk::LoadDriver(name, &FakeDriver::Entry);
    }

    PDRIVER_OBJECT object() const { return driver_; }

    // A device of this driver; attached over `below` when given.
    PDEVICE_OBJECT CreateDevice(const std::string& label, Handler handler,
                                PDEVICE_OBJECT below = nullptr, ULONG extensionSize = 0) {
        PDEVICE_OBJECT device = nullptr;
        NTSTATUS status =
            IoCreateDevice(driver_, extensionSize, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
        EXPECT_EQ(status, STATUS_SUCCESS);
        hk::SetDeviceLabel(device, label);
        if (below != nullptr) {
            EXPECT_NE(IoAttachDeviceToDeviceStack(device, below), nullptr);
        }
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        Handlers()[device] = std::move(handler);
        return device;
    }

    void SetHandler(PDEVICE_OBJECT device, Handler handler) {
        Handlers()[device] = std::move(handler);
    }

    // Detaches (when attached) and deletes a device of this driver.
    static void DestroyDevice(PDEVICE_OBJECT device) {
        PDEVICE_OBJECT lower = hk::LowerOf(device);
        if (lower != nullptr) {
            IoDetachDevice(lower);
        }
        Handlers().erase(device);
        IoDeleteDevice(device);
    }

    void Unload() {
        if (driver_ != nullptr) {
            hk::UnloadDriver(driver_);
            driver_ = nullptr;
        }
    }

    ~FakeDriver() { Unload(); }

private:
    static std::map<PDEVICE_OBJECT, Handler>& Handlers() {
        static std::map<PDEVICE_OBJECT, Handler> handlers;
        return handlers;
    }

    static NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) {
        auto it = Handlers().find(device);
        if (it == Handlers().end()) {
            irp->IoStatus.Status = STATUS_NO_SUCH_DEVICE;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_NO_SUCH_DEVICE;
        }
        Handler handler = it->second; // the handler may replace itself
        return handler(device, irp);
    }

    static NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
        for (PDRIVER_DISPATCH& slot : driver->MajorFunction) {
            slot = &FakeDriver::Dispatch;
        }
        return STATUS_SUCCESS;
    }

    PDRIVER_OBJECT driver_ = nullptr;
};

// Handlers for common lower-driver behaviours.
namespace fake {

// Completes every request at once with `status` and `information`.
inline FakeDriver::Handler CompleteWith(NTSTATUS status, ULONG_PTR information = 0) {
    return [status, information](PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = information;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    };
}

// Marks every request pending and completes it from a kernel worker thread
// at `irql` with `status` and `information`.
inline FakeDriver::Handler PendThenComplete(NTSTATUS status, ULONG_PTR information = 0,
                                            KIRQL irql = PASSIVE_LEVEL) {
    return [status, information, irql](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        hk::QueueWork(
            [irp, status, information]() {
                irp->IoStatus.Status = status;
                irp->IoStatus.Information = information;
                IoCompleteRequest(irp, IO_NO_INCREMENT);
            },
            irql);
        return STATUS_PENDING;
    };
}

// Passes every request down to `lower` unchanged (a minimal filter).
inline FakeDriver::Handler PassDownTo(PDEVICE_OBJECT lower) {
    return [lower](PDEVICE_OBJECT, PIRP irp) {
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(lower, irp);
    };
}

} // namespace fake

// Whether lower drivers answer synchronously or pend and complete from another
// thread; tests of the driver run both ways.
enum class LowerMode { Synchronous, Pending };

inline std::string LowerModeName(const ::testing::TestParamInfo<LowerMode>& info) {
    return info.param == LowerMode::Synchronous ? "Synchronous" : "Pending";
}

inline FakeDriver::Handler Answer(LowerMode mode, NTSTATUS status, ULONG_PTR information = 0) {
    return mode == LowerMode::Synchronous ? fake::CompleteWith(status, information)
                                          : fake::PendThenComplete(status, information);
}
