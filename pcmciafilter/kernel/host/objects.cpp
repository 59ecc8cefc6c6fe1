// The object manager: reference-counted objects of a few types (device, driver,
// event, file), handle tables per simulated process with granted access, the
// kernel handle table, and the namespace of named devices and symbolic links.
//
// Kernel handles carry the top bit, as 32-bit kernel handles do on the
// platform; a user-mode caller can never name one.  Handle values fit in 32
// bits so that they cross 32-bit request layouts unchanged.

#include <algorithm>
#include <atomic>
#include <map>
#include <unordered_map>

#include "kernel/host/host_internal.h"
#include "kernel/host/objects.h"

struct _OBJECT_TYPE {
    const char* name;
};

namespace {
_OBJECT_TYPE gEventType{"Event"};
_OBJECT_TYPE gDeviceType{"Device"};
_OBJECT_TYPE gFileType{"File"};
_OBJECT_TYPE gDriverType{"Driver"};
POBJECT_TYPE gEventTypePointer = &gEventType;
POBJECT_TYPE gDeviceTypePointer = &gDeviceType;
POBJECT_TYPE gFileTypePointer = &gFileType;
} // namespace

POBJECT_TYPE* ExEventObjectType = &gEventTypePointer;
POBJECT_TYPE* IoDeviceObjectType = &gDeviceTypePointer;
POBJECT_TYPE* IoFileObjectType = &gFileTypePointer;

namespace hk {

struct HandleEntry {
    ObjectRecord* object;
    ACCESS_MASK granted;
};

// A token: the identity a process runs with.
struct Token {
    Identity identity;
};

struct Process {
    std::string name;
    Identity identity;
    std::map<ULONG, HandleEntry> handles;
    ULONG nextHandle = 4;
    Token token{identity};
};

namespace {

constexpr ULONG kKernelHandleBit = 0x80000000u;

std::mutex gObjectLock;
std::unordered_map<PVOID, ObjectRecord*> gObjects; // by body
std::vector<Process*> gProcesses;
Process gSystemProcess{"System", Identity::LocalSystem, {}, 4, Token{Identity::LocalSystem}};
std::map<ULONG, HandleEntry> gKernelHandles;
ULONG gNextKernelHandle = 4;
std::map<std::u16string, PDEVICE_OBJECT> gNamedDevices; // by folded name
std::map<std::u16string, std::u16string> gLinks;        // folded link -> target

std::u16string Fold(const std::u16string& name) {
    std::u16string out = name;
    for (char16_t& c : out) {
        if (c >= u'a' && c <= u'z') {
            c = static_cast<char16_t>(c - u'a' + u'A');
        }
    }
    return out;
}

// Drops one reference; frees the object at zero.  Caller holds gObjectLock.
void DropLocked(ObjectRecord* record) {
    if (--record->references == 0) {
        gObjects.erase(record->body);
        if (record->free) {
            record->free(record->body);
        }
        delete record;
    }
}

ObjectRecord* Find(PVOID body) {
    auto it = gObjects.find(body);
    return it == gObjects.end() ? nullptr : it->second;
}

Process& ProcessOrSystem(Process* process) {
    return process == nullptr ? gSystemProcess : *process;
}

HANDLE MakeHandle(Process* process, ObjectRecord* record, ACCESS_MASK access) {
    std::lock_guard<std::mutex> guard(gObjectLock);
    ++record->references;
    ULONG value;
    if (process == nullptr) {
        value = gNextKernelHandle | kKernelHandleBit;
        gNextKernelHandle += 4;
        gKernelHandles[value] = HandleEntry{record, access};
    } else {
        value = process->nextHandle;
        process->nextHandle += 4;
        process->handles[value] = HandleEntry{record, access};
    }
    return ULongToHandle(value);
}

} // namespace

namespace detail {

PACCESS_TOKEN TokenOf(Process* process) {
    return &ProcessOrSystem(process).token;
}

ObjectRecord* CreateObject(POBJECT_TYPE type, PVOID body, std::function<void(PVOID)> free,
                           const std::string& label) {
    auto* record = new ObjectRecord{type, body, 1, std::move(free), label};
    std::lock_guard<std::mutex> guard(gObjectLock);
    gObjects[body] = record;
    return record;
}

ObjectRecord* LookupObject(PVOID body) {
    std::lock_guard<std::mutex> guard(gObjectLock);
    return Find(body);
}

void SetObjectLabel(PVOID body, const std::string& label) {
    std::lock_guard<std::mutex> guard(gObjectLock);
    if (ObjectRecord* record = Find(body)) {
        record->label = label;
    }
}

POBJECT_TYPE EventType() {
    return &gEventType;
}
POBJECT_TYPE DeviceType() {
    return &gDeviceType;
}
POBJECT_TYPE DriverType() {
    return &gDriverType;
}
POBJECT_TYPE FileType() {
    return &gFileType;
}
const char* TypeName(POBJECT_TYPE type) {
    return type == nullptr ? "?" : type->name;
}

NTSTATUS InsertName(const std::u16string& name, PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> guard(gObjectLock);
    std::u16string key = Fold(name);
    if (gNamedDevices.count(key) != 0 || gLinks.count(key) != 0) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    gNamedDevices[key] = device;
    return STATUS_SUCCESS;
}

void RemoveNamesOf(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> guard(gObjectLock);
    for (auto it = gNamedDevices.begin(); it != gNamedDevices.end();) {
        it = it->second == device ? gNamedDevices.erase(it) : std::next(it);
    }
}

NTSTATUS InsertLink(const std::u16string& link, const std::u16string& target) {
    std::lock_guard<std::mutex> guard(gObjectLock);
    std::u16string key = Fold(link);
    if (gNamedDevices.count(key) != 0 || gLinks.count(key) != 0) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    gLinks[key] = target;
    return STATUS_SUCCESS;
}

NTSTATUS RemoveLink(const std::u16string& link) {
    std::lock_guard<std::mutex> guard(gObjectLock);
    return gLinks.erase(Fold(link)) != 0 ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

void ResetObjects() {
    std::lock_guard<std::mutex> guard(gObjectLock);
    for (Process* process : gProcesses) {
        delete process;
    }
    gProcesses.clear();
    gSystemProcess.handles.clear();
    gSystemProcess.nextHandle = 4;
    gKernelHandles.clear();
    gNextKernelHandle = 4;
    for (auto& entry : gObjects) {
        if (entry.second->free) {
            entry.second->free(entry.second->body);
        }
        delete entry.second;
    }
    gObjects.clear();
    gNamedDevices.clear();
    gLinks.clear();
}

void AppendObjectLeaks(std::vector<std::string>& out) {
    std::lock_guard<std::mutex> guard(gObjectLock);
    for (const auto& entry : gKernelHandles) {
        out.push_back("kernel handle " + Hex(entry.first) + " to " + entry.second.object->label +
                      " never closed");
    }
    for (const auto& entry : gSystemProcess.handles) {
        out.push_back("system process handle " + Hex(entry.first) + " to " +
                      entry.second.object->label + " never closed");
    }
    for (const auto& entry : gObjects) {
        const ObjectRecord* record = entry.second;
        if (record->type == &gDeviceType || record->type == &gDriverType) {
            continue; // devices and drivers are reported by the I/O manager
        }
        size_t handles = 0;
        for (const Process* process : gProcesses) {
            for (const auto& handle : process->handles) {
                handles += handle.second.object == record ? 1 : 0;
            }
        }
        if (static_cast<size_t>(record->references) > handles) {
            out.push_back(std::string(record->type->name) + " object " + record->label + " has " +
                          std::to_string(record->references - static_cast<LONG>(handles)) +
                          " reference(s) not owned by any handle");
        }
    }
    for (const auto& entry : gLinks) {
        out.push_back("symbolic link " + Narrow(entry.first) + " never deleted");
    }
}

} // namespace detail

Process* CreateProcess(const std::string& name, Identity identity) {
    auto* process = new Process{name, identity, {}, 4, Token{identity}};
    std::lock_guard<std::mutex> guard(gObjectLock);
    gProcesses.push_back(process);
    return process;
}

void DestroyProcess(Process* process) {
    std::vector<ULONG> handles;
    {
        std::lock_guard<std::mutex> guard(gObjectLock);
        for (const auto& entry : process->handles) {
            handles.push_back(entry.first);
        }
    }
    for (ULONG handle : handles) {
        CloseHandle(process, ULongToHandle(handle));
    }
    std::lock_guard<std::mutex> guard(gObjectLock);
    gProcesses.erase(std::remove(gProcesses.begin(), gProcesses.end(), process), gProcesses.end());
    delete process;
}

Identity ProcessIdentity(Process* process) {
    return ProcessOrSystem(process).identity;
}

HANDLE CreateEventHandle(Process* process, EVENT_TYPE type, ACCESS_MASK access) {
    auto* event = new KEVENT;
    KeInitializeEvent(event, type, FALSE);
    static std::atomic<int> serial{0};
    ObjectRecord* record = detail::CreateObject(
        &gEventType, event, [](PVOID body) { delete static_cast<PKEVENT>(body); },
        "event #" + std::to_string(++serial));
    HANDLE handle = MakeHandle(process, record, access);
    std::lock_guard<std::mutex> guard(gObjectLock);
    DropLocked(record); // the handle holds the object now
    return handle;
}

HANDLE CreateDeviceHandle(Process* process, PDEVICE_OBJECT device, ACCESS_MASK access) {
    ObjectRecord* record = detail::LookupObject(device);
    if (record == nullptr) {
        return nullptr;
    }
    return MakeHandle(process, record, access);
}

NTSTATUS CloseHandle(Process* process, HANDLE handle) {
    ULONG value = HandleToULong(handle);
    std::lock_guard<std::mutex> guard(gObjectLock);
    std::map<ULONG, HandleEntry>& table =
        process == nullptr ? gKernelHandles : ProcessOrSystem(process).handles;
    auto it = table.find(value);
    if (it == table.end()) {
        return STATUS_INVALID_HANDLE;
    }
    ObjectRecord* record = it->second.object;
    table.erase(it);
    DropLocked(record);
    return STATUS_SUCCESS;
}

PVOID ObjectOfHandle(Process* process, HANDLE handle) {
    ULONG value = HandleToULong(handle);
    std::lock_guard<std::mutex> guard(gObjectLock);
    const std::map<ULONG, HandleEntry>& table =
        (value & kKernelHandleBit) != 0 ? gKernelHandles : ProcessOrSystem(process).handles;
    auto it = table.find(value);
    return it == table.end() ? nullptr : it->second.object->body;
}

LONG ReferenceCount(PVOID object) {
    std::lock_guard<std::mutex> guard(gObjectLock);
    ObjectRecord* record = Find(object);
    return record == nullptr ? 0 : record->references;
}

bool IsKernelHandle(HANDLE handle) {
    return (HandleToULong(handle) & kKernelHandleBit) != 0;
}

PDEVICE_OBJECT DeviceByName(const std::u16string& name) {
    std::lock_guard<std::mutex> guard(gObjectLock);
    auto it = gNamedDevices.find(Fold(name));
    return it == gNamedDevices.end() ? nullptr : it->second;
}

bool SymbolicLinkExists(const std::u16string& name) {
    std::lock_guard<std::mutex> guard(gObjectLock);
    return gLinks.count(Fold(name)) != 0;
}

PDEVICE_OBJECT ResolveDeviceName(const std::u16string& name) {
    std::u16string current = name;
    for (int depth = 0; depth < 8; ++depth) {
        {
            std::lock_guard<std::mutex> guard(gObjectLock);
            auto link = gLinks.find(Fold(current));
            if (link == gLinks.end()) {
                break;
            }
            current = link->second;
        }
    }
    return DeviceByName(current);
}

} // namespace hk

using hk::detail::Violate;

NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                   POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                   PVOID* Object, POBJECT_HANDLE_INFORMATION HandleInformation) {
    hk::detail::RequireIrql(PASSIVE_LEVEL, "ObReferenceObjectByHandle");
    ULONG value = HandleToULong(Handle);
    bool kernelHandle = (value & hk::kKernelHandleBit) != 0;
    if (kernelHandle && AccessMode == UserMode) {
        return STATUS_INVALID_HANDLE;
    }
    const hk::detail::Frame* frame = hk::detail::InnermostDispatchFrame();
    if (kernelHandle && frame != nullptr && frame->irp != nullptr &&
        frame->irp->RequestorMode == UserMode) {
        Violate("user-request-kernel-handle",
                "a handle from a user-mode request resolved in the kernel handle table by " +
                    hk::detail::DriverName(frame->driver) + " (KernelMode access)");
    }
    std::lock_guard<std::mutex> guard(hk::gObjectLock);
    std::map<ULONG, hk::HandleEntry>& table =
        kernelHandle ? hk::gKernelHandles
                     : hk::ProcessOrSystem(hk::detail::CurrentProcess()).handles;
    auto it = table.find(value);
    if (it == table.end()) {
        return STATUS_INVALID_HANDLE;
    }
    hk::ObjectRecord* record = it->second.object;
    if (ObjectType != nullptr && record->type != ObjectType) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    if (AccessMode == UserMode && (it->second.granted & DesiredAccess) != DesiredAccess) {
        return STATUS_ACCESS_DENIED;
    }
    ++record->references;
    *Object = record->body;
    if (HandleInformation != nullptr) {
        HandleInformation->HandleAttributes = 0;
        HandleInformation->GrantedAccess = it->second.granted;
    }
    return STATUS_SUCCESS;
}

VOID SeLockSubjectContext(PSECURITY_SUBJECT_CONTEXT SubjectContext) {
    hk::detail::RequireIrql(PASSIVE_LEVEL, "SeLockSubjectContext");
    (void)SubjectContext;
}

VOID SeUnlockSubjectContext(PSECURITY_SUBJECT_CONTEXT SubjectContext) {
    hk::detail::RequireIrql(PASSIVE_LEVEL, "SeUnlockSubjectContext");
    (void)SubjectContext;
}

// Local system and administrators hold the administrators group; a plain user
// does not.
BOOLEAN SeTokenIsAdmin(PACCESS_TOKEN Token) {
    hk::detail::RequireIrql(PASSIVE_LEVEL, "SeTokenIsAdmin");
    if (Token == nullptr) {
        Violate("token-null", "SeTokenIsAdmin without a token");
        return FALSE;
    }
    hk::Identity identity = static_cast<hk::Token*>(Token)->identity;
    return identity == hk::Identity::LocalSystem || identity == hk::Identity::Administrator;
}

LONG_PTR ObfReferenceObject(PVOID Object) {
    hk::detail::RequireIrql(DISPATCH_LEVEL, "ObfReferenceObject");
    std::lock_guard<std::mutex> guard(hk::gObjectLock);
    hk::ObjectRecord* record = hk::Find(Object);
    if (record == nullptr) {
        Violate("object-unknown", "a reference taken on memory that is no object: " +
                                      hk::detail::Hex(reinterpret_cast<uintptr_t>(Object)));
        return 0;
    }
    return ++record->references;
}

LONG_PTR ObfDereferenceObject(PVOID Object) {
    hk::detail::RequireIrql(DISPATCH_LEVEL, "ObfDereferenceObject");
    std::lock_guard<std::mutex> guard(hk::gObjectLock);
    hk::ObjectRecord* record = hk::Find(Object);
    if (record == nullptr) {
        Violate("object-reference-below-zero",
                "a reference dropped on an object that has none left (or on memory that is no "
                "object): " +
                    hk::detail::Hex(reinterpret_cast<uintptr_t>(Object)));
        return 0;
    }
    LONG left = record->references - 1;
    hk::DropLocked(record);
    return left;
}
