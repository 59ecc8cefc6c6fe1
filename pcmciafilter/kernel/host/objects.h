// Object records of the host kernel's object manager (internal).
#pragma once

#include <functional>
#include <string>

#include "kernel/host/host_internal.h"

namespace hk {

// One object: its type, its body (the pointer drivers see), the number of
// references (handles and pointer references alike) and how to free the body
// when the last one goes.
struct ObjectRecord {
    POBJECT_TYPE type;
    PVOID body;
    LONG references;
    std::function<void(PVOID)> free;
    std::string label;
};

namespace detail {

// Creates an object with one reference held by the creator.
ObjectRecord* CreateObject(POBJECT_TYPE type, PVOID body, std::function<void(PVOID)> free,
                           const std::string& label);
ObjectRecord* LookupObject(PVOID body);
void SetObjectLabel(PVOID body, const std::string& label);
POBJECT_TYPE EventType();
POBJECT_TYPE DeviceType();
POBJECT_TYPE DriverType();
POBJECT_TYPE FileType();
const char* TypeName(POBJECT_TYPE type);

NTSTATUS InsertName(const std::u16string& name, PDEVICE_OBJECT device);
void RemoveNamesOf(PDEVICE_OBJECT device);
NTSTATUS InsertLink(const std::u16string& link, const std::u16string& target);
NTSTATUS RemoveLink(const std::u16string& link);

} // namespace detail
} // namespace hk
