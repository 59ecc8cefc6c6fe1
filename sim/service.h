// The user-mode service of the product, as the simulated machine runs it: a
// process per caller identity that opens the driver's control device by its
// DOS name, sends buffered control requests with the buffer lengths it
// chooses, creates events and watches how often they are signalled, and
// closes its handles.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "kernel/host/host_control.h"

namespace sim {

class Service {
public:
    Service() = default;
    // Closes every handle still open (cleanup and close of each control
    // handle, then the processes go with their event handles).
    ~Service();

    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    // Opens "\DosDevices\VexaFil2" from the process of that identity.  On
    // success the new handle is the one later requests use.
    NTSTATUS Open(hk::Identity identity);
    // Handles open now, the last opened first in line.
    size_t OpenHandles() const { return handles_.size(); }
    // Closes the handle in use (cleanup, close); the one opened before it, if
    // any, is used from then on.  STATUS_INVALID_HANDLE when none is open.
    NTSTATUS Close();
    // A buffered control request on the handle in use, from its process.
    hk::IoResult Control(ULONG code, const std::vector<UCHAR>& input, ULONG outputLength);

    // Creates an event in the process of the handle in use (the system
    // process's service when none is open) and returns its number (1, 2, ...)
    // and its handle value.
    int CreateEvent(uint32_t* handle);
    // Event number -> times the event was signalled so far.
    std::map<int, uint64_t> EventSignals() const;

    // The host kernel was reset under the service (a restart): forget every
    // handle and process without closing anything.
    void Forget();

private:
    struct Handle {
        PFILE_OBJECT file;
        hk::Process* process;
    };
    struct Event {
        hk::Process* process;
        HANDLE handle;
    };

    hk::Process* ProcessFor(hk::Identity identity);
    hk::Process* CurrentProcess();

    std::map<hk::Identity, hk::Process*> processes_;
    std::vector<Handle> handles_; // open control handles, in opening order
    std::vector<Event> events_;   // events created, by number - 1
};

} // namespace sim
