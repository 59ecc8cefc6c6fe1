// What every fuzz target shares: a reader over the fuzzer's bytes, fake
// drivers written as lambdas, and the checks that end each input.  A broken
// rule, a leak or a wrong result aborts the process, so that libFuzzer keeps
// the input that caused it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "kernel/host/host_control.h"

namespace fuzz {

// Reads the fuzzer's bytes front to back; past the end every read gives 0.
class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool Empty() const { return pos_ >= size_; }
    size_t Remaining() const { return Empty() ? 0 : size_ - pos_; }
    uint8_t U8() { return Empty() ? 0 : data_[pos_++]; }
    uint16_t U16() { return static_cast<uint16_t>(U8() | (U8() << 8)); }
    uint32_t U32() { return static_cast<uint32_t>(U16() | (static_cast<uint32_t>(U16()) << 16)); }
    bool Bit() { return (U8() & 1) != 0; }
    // Up to n bytes (fewer when the input ends).
    std::vector<uint8_t> Bytes(size_t n) {
        size_t take = n < Remaining() ? n : Remaining();
        std::vector<uint8_t> out(data_ + pos_, data_ + pos_ + take);
        pos_ += take;
        return out;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// Stops the run with `what` when the condition does not hold.
void Require(bool condition, const std::string& what);

// Drains the kernel's workers and stops the run when the verifier recorded a
// finding or anything is still held; then resets the host kernel.
void RequireCleanAndReset();

// A fake WDM driver: every request to a device lands in that device's handler.
using Handler = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;
PDRIVER_OBJECT LoadFakeDriver(const std::string& name);
PDEVICE_OBJECT CreateFakeDevice(PDRIVER_OBJECT driver, const std::string& label, Handler handler);
// Detaches (when attached) and deletes a fake device.
void DestroyFakeDevice(PDEVICE_OBJECT device);
// Forgets every handler (after a reset of the host kernel).
void ForgetFakeDevices();

// Completes a request with status and information; returns status.
NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);
// The same from a kernel worker thread, after marking the request pending.
NTSTATUS CompleteLater(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);

// The driver under test, freshly loaded into a clean host kernel.
PDRIVER_OBJECT LoadFilterDriver();

// A PnP request as the PnP manager builds it.
hk::IrpSpec PnpSpec(UCHAR minor);
// A relation list as a bus driver builds it: untagged pool, every entry
// referenced.  NULL when the pool has none.
PDEVICE_RELATIONS NewRelationList(const std::vector<PDEVICE_OBJECT>& objects);
// A multi-string of IDs from pool, as a bus driver answers an ID query.
PWCHAR NewMultiString(const std::vector<std::u16string>& ids);
// Takes a relations answer as the PnP manager does: every entry dereferenced,
// the list freed.  Returns the entries.
std::vector<PDEVICE_OBJECT> TakeRelationList(ULONG_PTR information);

// Removes every device of the filter driver as the PnP manager would: child
// filters first (a deferred first remove is followed by the final one), then
// bus filters.
void RemoveFilterDevices(PDRIVER_OBJECT filterDriver);

} // namespace fuzz
