// Controls of the host kernel's registry for tests, the simulated machine and
// the tools: seeding and inspecting values behind the driver's back, persisting
// the services subtree in a .reg file, and making registry services fail.
// The driver never includes this header.
//
// Key paths here are relative to the services root
// (\Registry\Machine\System\CurrentControlSet\Services), components separated
// by '\' ("VexaPCMFilter\1"); the empty path is the services root itself.
// Names of keys and values compare without regard to ASCII case.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kernel/kernel.h"

namespace hk {

// Creates or replaces a value, creating the key and any missing parent keys.
void RegistrySetValue(const std::u16string& keyPath, const std::u16string& name, ULONG type,
                      const std::vector<uint8_t>& data);
// Reads a value; false when the key or the value does not exist.  Either out
// parameter may be null.
bool RegistryGetValue(const std::u16string& keyPath, const std::u16string& name, ULONG* type,
                      std::vector<uint8_t>* data);
// False when there was nothing to delete.  A key goes with all its subkeys;
// the services root itself cannot be deleted (use RegistryClear).
bool RegistryDeleteValue(const std::u16string& keyPath, const std::u16string& name);
bool RegistryDeleteKey(const std::u16string& keyPath);
bool RegistryKeyExists(const std::u16string& keyPath);
// Forgets every key and value (the services root stays, empty).
void RegistryClear();

// The services subtree as a Windows registry file (UTF-8 text, CRLF line ends):
// the "Windows Registry Editor Version 5.00" header, then one block per key in
// case-insensitive name order, parents before children, each block followed by
// a blank line.  Values keep the order they were first written in.  A REG_SZ
// whose bytes are printable ASCII with one terminating zero unit is written as
// "text"; a REG_DWORD of four bytes as dword:; everything else as hex bytes
// (hex: for REG_BINARY, hex(N): otherwise, N the type in hexadecimal), wrapped
// as regedit wraps them, so that every byte of every value survives a round trip.
std::string RegistryExport();
// Replaces everything under the services root with the content of a registry
// file in the format RegistryExport writes (LF line ends, unwrapped hex lists,
// comments, "@" default values, [-key] and "name"=- deletions also accepted).
// On a malformed file returns false with "line N: what" in *error (if given)
// and leaves the registry unchanged.
bool RegistryImport(const std::string& text, std::string* error);

// Fault injection.  The next call of the given service on the given key (path
// relative to the services root, compared without regard to case; empty: any
// key) fails with `status` and changes nothing.  Plans are consumed in the order
// they were made and cleared by hk::Reset.
enum class RegistryCall { CheckKey, CreateKey, WriteValue, QueryValues };
void RegistryFailNext(RegistryCall call, NTSTATUS status, const std::u16string& keyPath = u"");

} // namespace hk
