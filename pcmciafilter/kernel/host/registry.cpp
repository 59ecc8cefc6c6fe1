// The host kernel's registry: an in-memory tree of keys with typed values,
// the four run-time library services a driver uses on it, and the controls
// that seed, inspect, persist and break it.
//
// The tree is rooted at the object namespace root, and the services root
// (\Registry\Machine\System\CurrentControlSet\Services) always exists.  Key and value names keep
// the case they were created with and compare without regard to case; only ASCII letters are folded
// (the platform folds all of Unicode, which no name here needs).  One mutex guards the tree.  It is
// never held while a caller's query routine runs or a caller's buffer is written, so a query
// routine may itself use the registry.

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "kernel/host/host_internal.h"
#include "kernel/host/registry_control.h"

namespace {

using Components = std::vector<std::u16string>;

struct Value {
    std::u16string name;
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;
};

struct Key {
    std::u16string name;
    std::vector<Value> values;                              // in the order they were first written
    std::map<std::u16string, std::unique_ptr<Key>> subkeys; // by folded name
};

struct Fault {
    hk::RegistryCall call;
    NTSTATUS status;
    bool anyKey;
    Components key; // folded, absolute
};

struct Registry {
    std::mutex lock;
    Key root;
    std::vector<Fault> faults;
};

Registry& Reg() {
    static Registry registry;
    return registry;
}

const Components& ServicesRoot() {
    static const Components path = {u"Registry", u"Machine", u"System", u"CurrentControlSet",
                                    u"Services"};
    return path;
}

const Components& ControlRoot() {
    static const Components path = {u"Registry", u"Machine", u"System", u"CurrentControlSet",
                                    u"Control"};
    return path;
}

// Keys directly under \Registry\Machine and above are hives and their mount
// points: they exist from the start and no service creates them.
constexpr size_t kFirstCreatableDepth = 3;

constexpr ULONG kRegistryBaseMask = ~static_cast<ULONG>(RTL_REGISTRY_OPTIONAL);

// Set with RTL_QUERY_REGISTRY_DIRECT: the stored type must equal the type in
// the top byte of DefaultType.
constexpr ULONG kQueryTypeCheck = 0x00000100;
constexpr int kQueryTypeCheckShift = 24;

char16_t Fold(char16_t unit) {
    return (unit >= u'A' && unit <= u'Z') ? static_cast<char16_t>(unit - u'A' + u'a') : unit;
}

std::u16string Fold(const std::u16string& text) {
    std::u16string folded = text;
    for (auto& unit : folded) {
        unit = Fold(unit);
    }
    return folded;
}

bool EqualFolded(const std::u16string& a, const std::u16string& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (Fold(a[i]) != Fold(b[i])) {
            return false;
        }
    }
    return true;
}

std::u16string WideText(const WCHAR* text) {
    std::u16string result;
    if (text != nullptr) {
        while (*text != 0) {
            result.push_back(*text++);
        }
    }
    return result;
}

// Splits "a\b\c" into its components; false on an empty component ("a\\b",
// a trailing or leading separator).
bool SplitPath(const std::u16string& path, Components* out) {
    if (path.empty()) {
        return true;
    }
    size_t start = 0;
    for (;;) {
        const size_t end = path.find(u'\\', start);
        const std::u16string part = path.substr(start, end - start);
        if (part.empty()) {
            return false;
        }
        out->push_back(part);
        if (end == std::u16string::npos) {
            return true;
        }
        start = end + 1;
    }
}

// The absolute key path a service's RelativeTo and Path name.  Only the
// absolute, services and control roots exist on the host; the user root
// (which depends on the caller's identity) and handle-relative paths give
// STATUS_INVALID_PARAMETER.
NTSTATUS ResolvePath(ULONG relativeTo, const WCHAR* path, Components* out) {
    const std::u16string text = WideText(path);
    switch (relativeTo & kRegistryBaseMask) {
    case RTL_REGISTRY_ABSOLUTE:
        if (path == nullptr) {
            return STATUS_INVALID_PARAMETER;
        }
        if (text.empty() || text[0] != u'\\') {
            return STATUS_OBJECT_NAME_INVALID;
        }
        if (text.size() == 1) {
            return STATUS_SUCCESS;
        }
        return SplitPath(text.substr(1), out) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_INVALID;
    case RTL_REGISTRY_SERVICES:
        *out = ServicesRoot();
        break;
    case RTL_REGISTRY_CONTROL:
        *out = ControlRoot();
        break;
    default:
        return STATUS_INVALID_PARAMETER;
    }
    return SplitPath(text, out) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_INVALID;
}

// Relative paths of the controls: empty components are skipped.
Components ControlPath(const std::u16string& keyPath) {
    Components path = ServicesRoot();
    size_t start = 0;
    while (start <= keyPath.size()) {
        size_t end = keyPath.find(u'\\', start);
        if (end == std::u16string::npos) {
            end = keyPath.size();
        }
        if (end > start) {
            path.push_back(keyPath.substr(start, end - start));
        }
        start = end + 1;
    }
    return path;
}

Key* FindKey(Key& from, const Components& path, size_t first = 0) {
    Key* key = &from;
    for (size_t i = first; i < path.size(); ++i) {
        auto it = key->subkeys.find(Fold(path[i]));
        if (it == key->subkeys.end()) {
            return nullptr;
        }
        key = it->second.get();
    }
    return key;
}

Key* CreateChild(Key& parent, const std::u16string& name) {
    auto& slot = parent.subkeys[Fold(name)];
    if (!slot) {
        slot = std::make_unique<Key>();
        slot->name = name;
    }
    return slot.get();
}

Key* CreateKeys(Key& from, const Components& path, size_t first = 0) {
    Key* key = &from;
    for (size_t i = first; i < path.size(); ++i) {
        key = CreateChild(*key, path[i]);
    }
    return key;
}

Key& ServicesKey(Registry& reg) {
    return *CreateKeys(reg.root, ServicesRoot());
}

Value* FindValue(Key& key, const std::u16string& name) {
    for (auto& value : key.values) {
        if (EqualFolded(value.name, name)) {
            return &value;
        }
    }
    return nullptr;
}

void SetValue(Key& key, const std::u16string& name, ULONG type, std::vector<uint8_t> data) {
    if (Value* existing = FindValue(key, name)) {
        existing->type = type;
        existing->data = std::move(data);
        return;
    }
    key.values.push_back(Value{name, type, std::move(data)});
}

bool DeleteValue(Key& key, const std::u16string& name) {
    auto it = std::find_if(key.values.begin(), key.values.end(),
                           [&](const Value& value) { return EqualFolded(value.name, name); });
    if (it == key.values.end()) {
        return false;
    }
    key.values.erase(it);
    return true;
}

Components FoldAll(const Components& path) {
    Components folded;
    for (const auto& part : path) {
        folded.push_back(Fold(part));
    }
    return folded;
}

// Consumes the first fault plan for this call and key; STATUS_SUCCESS if none.
NTSTATUS TakeFault(Registry& reg, hk::RegistryCall call, const Components& path) {
    const Components folded = FoldAll(path);
    for (auto it = reg.faults.begin(); it != reg.faults.end(); ++it) {
        if (it->call == call && (it->anyKey || it->key == folded)) {
            const NTSTATUS status = it->status;
            reg.faults.erase(it);
            return status;
        }
    }
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// Query table walk.

bool IsStringType(ULONG type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// A direct entry's string data goes into the caller's UNICODE_STRING.
NTSTATUS StoreDirectString(PUNICODE_STRING target, const std::vector<uint8_t>& data) {
    if (target->Buffer == nullptr) {
        // The platform allocates the buffer from paged pool in this case; the
        // host refuses instead, since the driver always supplies its buffer.
        return STATUS_INVALID_PARAMETER;
    }
    if (data.size() > target->MaximumLength) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (!data.empty()) {
        memcpy(target->Buffer, data.data(), data.size());
    }
    // Length counts whole units of the data less one terminating zero unit.
    // Data without a terminator (possible for any value another writer stored)
    // counts in full, a trailing odd byte not being a unit; empty data gives 0.
    // Either way Length stays within the copied bytes, hence within
    // MaximumLength, and never wraps below zero.
    size_t length = data.size() & ~static_cast<size_t>(1);
    if (length >= sizeof(WCHAR) && data[length - 2] == 0 && data[length - 1] == 0) {
        length -= sizeof(WCHAR);
    }
    target->Length = static_cast<USHORT>(length);
    return STATUS_SUCCESS;
}

// A direct entry's non-string data: up to four bytes go straight to
// EntryContext; more need a buffer that begins with its size as a LONG.  A
// negative size asks for the data alone; a positive one for length, type and
// data, in that order.
NTSTATUS StoreDirectData(PVOID target, ULONG type, const std::vector<uint8_t>& data) {
    if (data.size() <= sizeof(ULONG)) {
        if (!data.empty()) {
            memcpy(target, data.data(), data.size());
        }
        return STATUS_SUCCESS;
    }
    LONG size = 0;
    memcpy(&size, target, sizeof(size));
    if (size < 0) {
        if (data.size() > static_cast<uint64_t>(-static_cast<int64_t>(size))) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        memcpy(target, data.data(), data.size());
        return STATUS_SUCCESS;
    }
    if (data.size() + 2 * sizeof(ULONG) > static_cast<uint64_t>(size)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    const ULONG length = static_cast<ULONG>(data.size());
    auto* bytes = static_cast<uint8_t*>(target);
    memcpy(bytes, &length, sizeof(length));
    memcpy(bytes + sizeof(ULONG), &type, sizeof(type));
    memcpy(bytes + 2 * sizeof(ULONG), data.data(), data.size());
    return STATUS_SUCCESS;
}

NTSTATUS CallQueryRoutine(PRTL_QUERY_REGISTRY_TABLE entry, std::u16string name, ULONG type,
                          std::vector<uint8_t> data, PVOID context) {
    // The routine gets its own copies: a zero-terminated name and data that
    // stay valid while it runs, whatever it does to the registry meanwhile.
    uint8_t none[sizeof(WCHAR)] = {};
    PVOID bytes = data.empty() ? static_cast<PVOID>(none) : static_cast<PVOID>(data.data());
    const NTSTATUS status = entry->QueryRoutine(
        &name[0], type, bytes, static_cast<ULONG>(data.size()), context, entry->EntryContext);
    // A routine that finds its own buffer too small does not end the walk.
    return status == STATUS_BUFFER_TOO_SMALL ? STATUS_SUCCESS : status;
}

// Hands one value (stored or default) to an entry.
NTSTATUS Deliver(PRTL_QUERY_REGISTRY_TABLE entry, const std::u16string& name, ULONG type,
                 const std::vector<uint8_t>& data, PVOID context) {
    const ULONG flags = entry->Flags;
    const bool noExpand = (flags & RTL_QUERY_REGISTRY_NOEXPAND) != 0;
    if (flags & RTL_QUERY_REGISTRY_DIRECT) {
        if (IsStringType(type)) {
            // A multi-string can only be stored whole, which callers ask for
            // with NOEXPAND; without it there is no single place to put it.
            if (type == REG_MULTI_SZ && !noExpand) {
                return STATUS_INVALID_PARAMETER;
            }
            return StoreDirectString(static_cast<PUNICODE_STRING>(entry->EntryContext), data);
        }
        return StoreDirectData(entry->EntryContext, type, data);
    }
    if (type == REG_MULTI_SZ && !noExpand) {
        // Each string of the list is reported on its own, as a REG_SZ with
        // its terminator.
        size_t start = 0;
        const size_t units = data.size() / sizeof(WCHAR);
        auto unitAt = [&](size_t i) { return data[2 * i] | (data[2 * i + 1] << 8); };
        while (start < units && unitAt(start) != 0) {
            size_t end = start;
            while (end < units && unitAt(end) != 0) {
                ++end;
            }
            std::vector<uint8_t> one(data.begin() + 2 * start, data.begin() + 2 * end);
            one.push_back(0);
            one.push_back(0);
            const NTSTATUS status = CallQueryRoutine(entry, name, REG_SZ, std::move(one), context);
            if (!NT_SUCCESS(status)) {
                return status;
            }
            start = end + 1;
        }
        return STATUS_SUCCESS;
    }
    if (type == REG_EXPAND_SZ && !noExpand) {
        // The host has no environment block: references stay as written, and
        // the value is reported as REG_SZ as after an expansion.
        type = REG_SZ;
    }
    return CallQueryRoutine(entry, name, type, data, context);
}

// The default an entry names when its value is missing.
NTSTATUS DefaultData(PRTL_QUERY_REGISTRY_TABLE entry, ULONG type, std::vector<uint8_t>* out) {
    ULONG length = entry->DefaultLength;
    const auto* bytes = static_cast<const uint8_t*>(entry->DefaultData);
    if (bytes == nullptr) {
        return length == 0 ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
    }
    if (length == 0 && IsStringType(type)) {
        // A zero length asks for the length of the text, terminator included
        // (for a multi-string, up to and including the empty last string).
        const auto* text = static_cast<const WCHAR*>(entry->DefaultData);
        size_t units = 0;
        if (type == REG_MULTI_SZ) {
            while (text[units] != 0 || (units > 0 && text[units - 1] != 0)) {
                ++units;
            }
        } else {
            while (text[units] != 0) {
                ++units;
            }
        }
        length = static_cast<ULONG>((units + 1) * sizeof(WCHAR));
    }
    out->assign(bytes, bytes + length);
    return STATUS_SUCCESS;
}

bool IsEndOfTable(const RTL_QUERY_REGISTRY_TABLE& entry) {
    // An entry with neither routine nor name ends the table, unless its flags
    // give it a meaning of its own (a top-key entry needs neither; a direct or
    // subkey entry without a name is malformed and refused below).
    const ULONG meaningful =
        RTL_QUERY_REGISTRY_TOPKEY | RTL_QUERY_REGISTRY_SUBKEY | RTL_QUERY_REGISTRY_DIRECT;
    return entry.QueryRoutine == nullptr && entry.Name == nullptr &&
           (entry.Flags & meaningful) == 0;
}

// Copies of a key's values, or nothing when the key does not exist.
bool SnapshotValues(const Components& path, std::vector<Value>* out) {
    Registry& reg = Reg();
    std::lock_guard<std::mutex> hold(reg.lock);
    Key* key = FindKey(reg.root, path);
    if (key == nullptr) {
        return false;
    }
    *out = key->values;
    return true;
}

bool SnapshotValue(const Components& path, const std::u16string& name, Value* out) {
    Registry& reg = Reg();
    std::lock_guard<std::mutex> hold(reg.lock);
    Key* key = FindKey(reg.root, path);
    if (key == nullptr) {
        return false;
    }
    Value* value = FindValue(*key, name);
    if (value == nullptr) {
        return false;
    }
    *out = *value;
    return true;
}

void DeleteQueriedValue(const Components& path, const std::u16string& name) {
    Registry& reg = Reg();
    std::lock_guard<std::mutex> hold(reg.lock);
    if (Key* key = FindKey(reg.root, path)) {
        DeleteValue(*key, name);
    }
}

NTSTATUS QueryEntry(PRTL_QUERY_REGISTRY_TABLE entry, const Components& current, PVOID context) {
    const ULONG flags = entry->Flags;
    const bool required = (flags & RTL_QUERY_REGISTRY_REQUIRED) != 0;
    if (flags & RTL_QUERY_REGISTRY_DIRECT) {
        if (entry->Name == nullptr || entry->EntryContext == nullptr) {
            return STATUS_INVALID_PARAMETER;
        }
    } else if (entry->QueryRoutine == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }

    if (entry->Name == nullptr) {
        if (flags & RTL_QUERY_REGISTRY_NOVALUE) {
            // A bare callback: no name, no data.
            const NTSTATUS status =
                entry->QueryRoutine(nullptr, REG_NONE, nullptr, 0, context, entry->EntryContext);
            return status == STATUS_BUFFER_TOO_SMALL ? STATUS_SUCCESS : status;
        }
        // Every value of the current key, in stored order.
        std::vector<Value> values;
        SnapshotValues(current, &values);
        if (values.empty()) {
            return required ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_SUCCESS;
        }
        for (const auto& value : values) {
            const NTSTATUS status = Deliver(entry, value.name, value.type, value.data, context);
            if (!NT_SUCCESS(status)) {
                return status;
            }
            if (flags & RTL_QUERY_REGISTRY_DELETE) {
                DeleteQueriedValue(current, value.name);
            }
        }
        return STATUS_SUCCESS;
    }

    const std::u16string name = WideText(entry->Name);
    Value value;
    if (SnapshotValue(current, name, &value)) {
        if ((flags & kQueryTypeCheck) &&
            value.type != (entry->DefaultType >> kQueryTypeCheckShift)) {
            return STATUS_OBJECT_TYPE_MISMATCH;
        }
        const NTSTATUS status = Deliver(entry, name, value.type, value.data, context);
        if (NT_SUCCESS(status) && (flags & RTL_QUERY_REGISTRY_DELETE)) {
            DeleteQueriedValue(current, name);
        }
        return status;
    }
    if (required) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    const ULONG defaultType = entry->DefaultType & 0xFF;
    if (defaultType == REG_NONE) {
        return STATUS_SUCCESS;
    }
    std::vector<uint8_t> data;
    const NTSTATUS status = DefaultData(entry, defaultType, &data);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return Deliver(entry, name, defaultType, data, context);
}

// ---------------------------------------------------------------------------
// Registry file text.

const char kRegHeader[] = "Windows Registry Editor Version 5.00";
const char kServicesText[] = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services";

// UTF-8 of 16-bit text; a lone surrogate is written as its own three-byte
// sequence so that any name survives a round trip.
std::string Utf8(const std::u16string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t code = text[i];
        if (code >= 0xD800 && code <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            code = 0x10000 + ((code - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        }
        if (code < 0x80) {
            out.push_back(static_cast<char>(code));
        } else if (code < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (code >> 6)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else if (code < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (code >> 12)));
            out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (code >> 18)));
            out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        }
    }
    return out;
}

bool FromUtf8(const std::string& text, std::u16string* out) {
    out->clear();
    for (size_t i = 0; i < text.size();) {
        const auto lead = static_cast<uint8_t>(text[i]);
        size_t extra = 0;
        uint32_t code = 0;
        if (lead < 0x80) {
            code = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            extra = 1;
            code = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            extra = 2;
            code = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            extra = 3;
            code = lead & 0x07;
        } else {
            return false;
        }
        if (i + extra >= text.size()) {
            return false;
        }
        for (size_t k = 1; k <= extra; ++k) {
            const auto next = static_cast<uint8_t>(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            code = (code << 6) | (next & 0x3F);
        }
        i += extra + 1;
        if (code >= 0x10000) {
            if (code > 0x10FFFF) {
                return false;
            }
            code -= 0x10000;
            out->push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
            out->push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
        } else {
            out->push_back(static_cast<char16_t>(code));
        }
    }
    return true;
}

std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out.push_back('\\');
        }
        out.push_back(c);
    }
    out.push_back('"');
    return out;
}

// Printable ASCII ending in exactly one zero unit: written as "text".
bool IsPlainText(const std::vector<uint8_t>& data) {
    if (data.size() < sizeof(WCHAR) || data.size() % sizeof(WCHAR) != 0) {
        return false;
    }
    const size_t units = data.size() / sizeof(WCHAR);
    for (size_t i = 0; i + 1 < units; ++i) {
        if (data[2 * i + 1] != 0 || data[2 * i] < 0x20 || data[2 * i] > 0x7E) {
            return false;
        }
    }
    return data[data.size() - 2] == 0 && data[data.size() - 1] == 0;
}

const char kHexDigits[] = "0123456789abcdef";

std::string HexNumber(ULONG value) {
    std::string text;
    do {
        text.insert(text.begin(), kHexDigits[value & 0xF]);
        value >>= 4;
    } while (value != 0);
    return text;
}

// Hex byte lists wrap as regedit wraps them: after a comma, before a line
// would pass 80 columns, continuing on an indented line.
void AppendHexList(std::string& out, size_t column, const std::vector<uint8_t>& data) {
    const size_t kWidth = 78; // and one column for the continuation mark
    for (size_t i = 0; i < data.size(); ++i) {
        std::string piece = {kHexDigits[data[i] >> 4], kHexDigits[data[i] & 0xF]};
        if (i + 1 < data.size()) {
            piece.push_back(',');
        }
        if (i > 0 && column + piece.size() > kWidth) {
            out += "\\\r\n  ";
            column = 2;
        }
        out += piece;
        column += piece.size();
    }
}

void ExportValue(std::string& out, const Value& value) {
    std::string line = value.name.empty() ? "@" : Quoted(Utf8(value.name));
    line += "=";
    if (value.type == REG_SZ && IsPlainText(value.data)) {
        std::string text;
        for (size_t i = 0; i + sizeof(WCHAR) < value.data.size(); i += sizeof(WCHAR)) {
            text.push_back(static_cast<char>(value.data[i]));
        }
        out += line + Quoted(text) + "\r\n";
        return;
    }
    if (value.type == REG_DWORD && value.data.size() == sizeof(ULONG)) {
        ULONG number = 0;
        memcpy(&number, value.data.data(), sizeof(number));
        std::string digits = HexNumber(number);
        line += "dword:" + std::string(8 - digits.size(), '0') + digits;
        out += line + "\r\n";
        return;
    }
    line += value.type == REG_BINARY ? "hex:" : "hex(" + HexNumber(value.type) + "):";
    out += line;
    AppendHexList(out, line.size(), value.data);
    out += "\r\n";
}

void ExportKey(std::string& out, const Key& key, const std::string& path) {
    out += "[" + path + "]\r\n";
    for (const auto& value : key.values) {
        ExportValue(out, value);
    }
    out += "\r\n";
    for (const auto& child : key.subkeys) {
        ExportKey(out, *child.second, path + "\\" + Utf8(child.second->name));
    }
}

std::string Trim(const std::string& text) {
    size_t first = 0;
    size_t last = text.size();
    while (first < last && (text[first] == ' ' || text[first] == '\t')) {
        ++first;
    }
    while (last > first && (text[last - 1] == ' ' || text[last - 1] == '\t')) {
        --last;
    }
    return text.substr(first, last - first);
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool ParseHexNumber(const std::string& text, ULONG* out) {
    if (text.empty() || text.size() > 8) {
        return false;
    }
    ULONG value = 0;
    for (char c : text) {
        const int digit = HexValue(c);
        if (digit < 0) {
            return false;
        }
        value = (value << 4) | static_cast<ULONG>(digit);
    }
    *out = value;
    return true;
}

bool ParseHexList(const std::string& text, std::vector<uint8_t>* out) {
    out->clear();
    const std::string list = Trim(text);
    if (list.empty()) {
        return true;
    }
    size_t start = 0;
    for (;;) {
        const size_t comma = list.find(',', start);
        const std::string item = Trim(
            list.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        ULONG byte = 0;
        if (item.size() > 2 || !ParseHexNumber(item, &byte)) {
            return false;
        }
        out->push_back(static_cast<uint8_t>(byte));
        if (comma == std::string::npos) {
            return true;
        }
        start = comma + 1;
    }
}

// Reads a quoted string at text[*pos] (the opening quote) and moves past the
// closing one.  Only \\ and \" are escapes.
bool ParseQuoted(const std::string& text, size_t* pos, std::string* out) {
    out->clear();
    size_t i = *pos + 1;
    while (i < text.size()) {
        const char c = text[i];
        if (c == '"') {
            *pos = i + 1;
            return true;
        }
        if (c == '\\') {
            if (i + 1 >= text.size() || (text[i + 1] != '\\' && text[i + 1] != '"')) {
                return false;
            }
            out->push_back(text[i + 1]);
            i += 2;
            continue;
        }
        out->push_back(c);
        ++i;
    }
    return false;
}

// A key line's path below the services root, or false when it lies elsewhere.
bool ParseKeyPath(const std::string& text, Components* out) {
    std::u16string wide;
    if (!FromUtf8(text, &wide)) {
        return false;
    }
    Components parts;
    if (!SplitPath(wide, &parts) || parts.size() < 4) {
        return false;
    }
    const bool machine =
        EqualFolded(parts[0], u"HKEY_LOCAL_MACHINE") || EqualFolded(parts[0], u"HKLM");
    if (!machine || !EqualFolded(parts[1], u"SYSTEM") ||
        !EqualFolded(parts[2], u"CurrentControlSet") || !EqualFolded(parts[3], u"Services")) {
        return false;
    }
    out->assign(parts.begin() + 4, parts.end());
    return true;
}

bool ParseValueLine(const std::string& line, Key* key, std::string* error) {
    size_t pos = 0;
    std::u16string name;
    if (line[0] == '@') {
        pos = 1;
    } else {
        std::string text;
        if (!ParseQuoted(line, &pos, &text) || !FromUtf8(text, &name)) {
            *error = "malformed value name";
            return false;
        }
    }
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) {
        ++pos;
    }
    if (pos >= line.size() || line[pos] != '=') {
        *error = "expected '=' after the value name";
        return false;
    }
    const std::string data = Trim(line.substr(pos + 1));
    if (data == "-") {
        DeleteValue(*key, name);
        return true;
    }
    if (!data.empty() && data[0] == '"') {
        size_t end = 0;
        std::string text;
        std::u16string wide;
        if (!ParseQuoted(data, &end, &text) || Trim(data.substr(end)) != "" ||
            !FromUtf8(text, &wide)) {
            *error = "malformed string data";
            return false;
        }
        std::vector<uint8_t> bytes;
        for (char16_t unit : wide) {
            bytes.push_back(static_cast<uint8_t>(unit & 0xFF));
            bytes.push_back(static_cast<uint8_t>(unit >> 8));
        }
        bytes.push_back(0);
        bytes.push_back(0);
        SetValue(*key, name, REG_SZ, std::move(bytes));
        return true;
    }
    if (data.compare(0, 6, "dword:") == 0) {
        ULONG number = 0;
        if (!ParseHexNumber(data.substr(6), &number)) {
            *error = "malformed dword data";
            return false;
        }
        std::vector<uint8_t> bytes(sizeof(ULONG));
        memcpy(bytes.data(), &number, sizeof(number));
        SetValue(*key, name, REG_DWORD, std::move(bytes));
        return true;
    }
    ULONG type = REG_BINARY;
    size_t listStart = 0;
    if (data.compare(0, 4, "hex:") == 0) {
        listStart = 4;
    } else if (data.compare(0, 4, "hex(") == 0) {
        const size_t close = data.find("):", 4);
        if (close == std::string::npos || !ParseHexNumber(data.substr(4, close - 4), &type)) {
            *error = "malformed value type";
            return false;
        }
        listStart = close + 2;
    } else {
        *error = "unknown data form";
        return false;
    }
    std::vector<uint8_t> bytes;
    if (!ParseHexList(data.substr(listStart), &bytes)) {
        *error = "malformed hex data";
        return false;
    }
    SetValue(*key, name, type, std::move(bytes));
    return true;
}

} // namespace

// ---------------------------------------------------------------------------
// Services.

NTSTATUS RtlCheckRegistryKey(ULONG RelativeTo, PWSTR Path) {
    hk::detail::RequireIrql(PASSIVE_LEVEL, "RtlCheckRegistryKey");
    Components path;
    NTSTATUS status = ResolvePath(RelativeTo, Path, &path);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    Registry& reg = Reg();
    std::lock_guard<std::mutex> hold(reg.lock);
    status = TakeFault(reg, hk::RegistryCall::CheckKey, path);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return FindKey(reg.root, path) != nullptr ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS RtlCreateRegistryKey(ULONG RelativeTo, PWSTR Path) {
    hk::detail::RequireIrql(PASSIVE_LEVEL, "RtlCreateRegistryKey");
    Components path;
    NTSTATUS status = ResolvePath(RelativeTo, Path, &path);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    Registry& reg = Reg();
    std::lock_guard<std::mutex> hold(reg.lock);
    status = TakeFault(reg, hk::RegistryCall::CreateKey, path);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (FindKey(reg.root, path) != nullptr) {
        return STATUS_SUCCESS;
    }
    if (path.size() < kFirstCreatableDepth) {
        return STATUS_ACCESS_DENIED;
    }
    // Only the last component is created: a missing parent fails the call,
    // and a caller that needs a deeper path creates it one level at a time.
    Components parentPath(path.begin(), path.end() - 1);
    Key* parent = FindKey(reg.root, parentPath);
    if (parent == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    CreateChild(*parent, path.back());
    return STATUS_SUCCESS;
}

NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType,
                               PVOID ValueData, ULONG ValueLength) {
    hk::detail::RequireIrql(PASSIVE_LEVEL, "RtlWriteRegistryValue");
    Components path;
    NTSTATUS status = ResolvePath(RelativeTo, Path, &path);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (ValueData == nullptr && ValueLength != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    Registry& reg = Reg();
    std::lock_guard<std::mutex> hold(reg.lock);
    status = TakeFault(reg, hk::RegistryCall::WriteValue, path);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    Key* key = FindKey(reg.root, path);
    if (key == nullptr) {
        // A missing key is created when its parent exists, as the service opens
        // its key for creation; a deeper missing path fails.
        Key* parent = path.size() >= kFirstCreatableDepth
                          ? FindKey(reg.root, Components(path.begin(), path.end() - 1))
                          : nullptr;
        if (parent == nullptr) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        key = CreateChild(*parent, path.back());
    }
    const auto* bytes = static_cast<const uint8_t*>(ValueData);
    std::vector<uint8_t> data;
    if (ValueLength != 0) {
        data.assign(bytes, bytes + ValueLength);
    }
    // A null or empty name is the key's default value.
    SetValue(*key, WideText(ValueName), ValueType, std::move(data));
    return STATUS_SUCCESS;
}

NTSTATUS RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                PVOID Context, PVOID Environment) {
    hk::detail::RequireIrql(PASSIVE_LEVEL, "RtlQueryRegistryValues");
    UNREFERENCED_PARAMETER(Environment);
    Components top;
    NTSTATUS status = ResolvePath(RelativeTo, Path, &top);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (QueryTable == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    {
        Registry& reg = Reg();
        std::lock_guard<std::mutex> hold(reg.lock);
        status = TakeFault(reg, hk::RegistryCall::QueryValues, top);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        if (FindKey(reg.root, top) == nullptr) {
            // An optional key that is missing is an empty answer, not an error.
            return (RelativeTo & RTL_REGISTRY_OPTIONAL) ? STATUS_SUCCESS
                                                        : STATUS_OBJECT_NAME_NOT_FOUND;
        }
    }

    // Entries apply to the current key: the top key until a subkey entry moves
    // to a key below it, and again after a top-key entry.  A missing subkey
    // leaves every following entry looking at a key without values.
    Components current = top;
    for (PRTL_QUERY_REGISTRY_TABLE entry = QueryTable; !IsEndOfTable(*entry); ++entry) {
        const ULONG flags = entry->Flags;
        if (flags & (RTL_QUERY_REGISTRY_TOPKEY | RTL_QUERY_REGISTRY_SUBKEY)) {
            current = top;
            if (flags & RTL_QUERY_REGISTRY_SUBKEY) {
                if (entry->Name == nullptr || !SplitPath(WideText(entry->Name), &current)) {
                    return STATUS_INVALID_PARAMETER;
                }
                if (flags & RTL_QUERY_REGISTRY_REQUIRED) {
                    Registry& reg = Reg();
                    std::lock_guard<std::mutex> hold(reg.lock);
                    if (FindKey(reg.root, current) == nullptr) {
                        return STATUS_OBJECT_NAME_NOT_FOUND;
                    }
                }
            }
            continue;
        }
        status = QueryEntry(entry, current, Context);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// Controls.

namespace hk {

void RegistrySetValue(const std::u16string& keyPath, const std::u16string& name, ULONG type,
                      const std::vector<uint8_t>& data) {
    Registry& reg = Reg();
    std::lock_guard<std::mutex> hold(reg.lock);
    SetValue(*CreateKeys(reg.root, ControlPath(keyPath)), name, type, data);
}

bool RegistryGetValue(const std::u16string& keyPath, const std::u16string& name, ULONG* type,
                      std::vector<uint8_t>* data) {
    Registry& reg = Reg();
    std::lock_guard<std::mutex> hold(reg.lock);
    Key* key = FindKey(reg.root, ControlPath(keyPath));
    Value* value = key != nullptr ? FindValue(*key, name) : nullptr;
    if (value == nullptr) {
        return false;
    }
    if (type != nullptr) {
        *type = value->type;
    }
    if (data != nullptr) {
        *data = value->data;
    }
    return true;
}

bool RegistryDeleteValue(const std::u16string& keyPath, const std::u16string& name) {
    Registry& reg = Reg();
    std::lock_guard<std::mutex> hold(reg.lock);
    Key* key = FindKey(reg.root, ControlPath(keyPath));
    return key != nullptr && DeleteValue(*key, name);
}

bool RegistryDeleteKey(const std::u16string& keyPath) {
    const Components path = ControlPath(keyPath);
    if (path.size() <= ServicesRoot().size()) {
        return false;
    }
    Registry& reg = Reg();
    std::lock_guard<std::mutex> hold(reg.lock);
    Key* parent = FindKey(reg.root, Components(path.begin(), path.end() - 1));
    return parent != nullptr && parent->subkeys.erase(Fold(path.back())) != 0;
}

bool RegistryKeyExists(const std::u16string& keyPath) {
    Registry& reg = Reg();
    std::lock_guard<std::mutex> hold(reg.lock);
    return FindKey(reg.root, ControlPath(keyPath)) != nullptr;
}

void RegistryClear() {
    Registry& reg = Reg();
    std::lock_guard<std::mutex> hold(reg.lock);
    reg.root.values.clear();
    reg.root.subkeys.clear();
    ServicesKey(reg);
}

std::string RegistryExport() {
    Registry& reg = Reg();
    std::lock_guard<std::mutex> hold(reg.lock);
    std::string out = std::string(kRegHeader) + "\r\n\r\n";
    ExportKey(out, ServicesKey(reg), kServicesText);
    return out;
}

bool RegistryImport(const std::string& text, std::string* error) {
    std::string message;
    auto fail = [&](size_t line, const std::string& what) {
        if (error != nullptr) {
            *error = "line " + std::to_string(line) + ": " + what;
        }
        return false;
    };

    // Physical lines without their CR or LF, then logical lines: a line that
    // ends in '\' continues on the next one.
    std::vector<std::string> physical;
    size_t start = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        physical.push_back(line);
        start = end + 1;
    }

    Key fresh;
    Key* current = nullptr;
    bool sawHeader = false;
    for (size_t i = 0; i < physical.size(); ++i) {
        const size_t lineNumber = i + 1;
        std::string line = Trim(physical[i]);
        while (!line.empty() && line.back() == '\\' && line[0] != '[') {
            line.pop_back();
            if (++i >= physical.size()) {
                return fail(lineNumber, "continuation at the end of the file");
            }
            line += Trim(physical[i]);
        }
        if (line.empty() || line[0] == ';') {
            continue;
        }
        if (!sawHeader) {
            if (line != kRegHeader) {
                return fail(lineNumber, std::string("expected \"") + kRegHeader + "\"");
            }
            sawHeader = true;
            continue;
        }
        if (line[0] == '[') {
            if (line.back() != ']') {
                return fail(lineNumber, "key line without ']'");
            }
            const bool remove = line.size() > 1 && line[1] == '-';
            Components path;
            if (!ParseKeyPath(line.substr(remove ? 2 : 1, line.size() - (remove ? 3 : 2)), &path)) {
                return fail(lineNumber, "key outside " + std::string(kServicesText));
            }
            if (remove) {
                if (path.empty()) {
                    fresh.values.clear();
                    fresh.subkeys.clear();
                } else if (Key* parent = FindKey(fresh, Components(path.begin(), path.end() - 1))) {
                    parent->subkeys.erase(Fold(path.back()));
                }
                current = nullptr;
            } else {
                current = CreateKeys(fresh, path);
            }
            continue;
        }
        if (line[0] == '"' || line[0] == '@') {
            if (current == nullptr) {
                return fail(lineNumber, "value outside a key");
            }
            if (!ParseValueLine(line, current, &message)) {
                return fail(lineNumber, message);
            }
            continue;
        }
        return fail(lineNumber, "unexpected line");
    }
    if (!sawHeader) {
        return fail(physical.size() + 1, std::string("expected \"") + kRegHeader + "\"");
    }

    Registry& reg = Reg();
    std::lock_guard<std::mutex> hold(reg.lock);
    Key& services = ServicesKey(reg);
    services.values = std::move(fresh.values);
    services.subkeys = std::move(fresh.subkeys);
    return true;
}

void RegistryFailNext(RegistryCall call, NTSTATUS status, const std::u16string& keyPath) {
    Registry& reg = Reg();
    std::lock_guard<std::mutex> hold(reg.lock);
    reg.faults.push_back(Fault{call, status, keyPath.empty(),
                               keyPath.empty() ? Components() : FoldAll(ControlPath(keyPath))});
}

namespace detail {

void ResetRegistry() {
    Registry& reg = Reg();
    std::lock_guard<std::mutex> hold(reg.lock);
    reg.root.values.clear();
    reg.root.subkeys.clear();
    reg.faults.clear();
    ServicesKey(reg);
}

} // namespace detail
} // namespace hk
