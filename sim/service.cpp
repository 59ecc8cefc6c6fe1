// The simulated user-mode service.
#include "sim/service.h"

#include <cstdint>

#include "include/pcmfilter_ioctl.h"

namespace sim {

namespace {

const char16_t kControlDosName[] = u"" PCMFILTER_DOS_NAME;

const char* ProcessName(hk::Identity identity) {
    switch (identity) {
    case hk::Identity::LocalSystem:
        return "service (system)";
    case hk::Identity::Administrator:
        return "service (administrator)";
    case hk::Identity::User:
        return "service (user)";
    }
    return "service";
}

} // namespace

Service::~Service() {
    while (!handles_.empty()) {
        Close();
    }
    for (auto& entry : processes_) {
        hk::DestroyProcess(entry.second);
    }
}

hk::Process* Service::ProcessFor(hk::Identity identity) {
    auto it = processes_.find(identity);
    if (it != processes_.end()) {
        return it->second;
    }
    hk::Process* process = hk::CreateProcess(ProcessName(identity), identity);
    processes_[identity] = process;
    return process;
}

hk::Process* Service::CurrentProcess() {
    return handles_.empty() ? ProcessFor(hk::Identity::LocalSystem) : handles_.back().process;
}

NTSTATUS Service::Open(hk::Identity identity) {
    hk::Process* process = ProcessFor(identity);
    hk::ProcessScope scope(process);
    hk::OpenResult result = hk::OpenDevice(kControlDosName, UserMode);
    if (NT_SUCCESS(result.status)) {
        handles_.push_back(Handle{result.file, process});
    }
    return result.status;
}

NTSTATUS Service::Close() {
    if (handles_.empty()) {
        return STATUS_INVALID_HANDLE;
    }
    Handle handle = handles_.back();
    handles_.pop_back();
    hk::ProcessScope scope(handle.process);
    return hk::CloseFile(handle.file, UserMode);
}

hk::IoResult Service::Control(ULONG code, const std::vector<UCHAR>& input, ULONG outputLength) {
    Handle handle = handles_.back();
    hk::ProcessScope scope(handle.process);
    return hk::DeviceControl(handle.file, code, input, outputLength, UserMode);
}

int Service::CreateEvent(uint32_t* handle) {
    hk::Process* process = CurrentProcess();
    HANDLE created = hk::CreateEventHandle(process, NotificationEvent);
    events_.push_back(Event{process, created});
    *handle = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(created));
    return static_cast<int>(events_.size());
}

std::map<int, uint64_t> Service::EventSignals() const {
    std::map<int, uint64_t> signals;
    for (size_t i = 0; i < events_.size(); ++i) {
        PVOID object = hk::ObjectOfHandle(events_[i].process, events_[i].handle);
        signals[static_cast<int>(i + 1)] = object == nullptr ? 0 : hk::EventSignalCount(object);
    }
    return signals;
}

void Service::Forget() {
    handles_.clear();
    events_.clear();
    processes_.clear();
}

} // namespace sim
