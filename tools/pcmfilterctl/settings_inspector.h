// Reads the driver's two protected settings from a registry and says, item by
// item, what the driver would make of them: the decoded value text, salt and
// MAC, whether the MAC verifies, and why not.  The reading follows the
// driver's own rules (setting_codec.h, setting_signing.h) and its read
// buffers, so "verified" here means verified at the driver's next settings
// load.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/common/json.h"

namespace ctl {

// One of the six registry values.
struct SettingItem {
    std::string key;  // relative to the services root
    std::string name; // value name
    bool present = false;
    uint32_t type = 0;
    std::vector<uint8_t> stored;  // the registry data as stored
    bool readable = false;        // the driver reads it (shape and size fit its buffer)
    std::vector<uint8_t> decoded; // the payload the driver decodes from it
    std::string problem;          // why the driver does not read it, or a decoding error
};

struct SettingReport {
    std::string setting; // "block mode", "read-only"
    SettingItem value;
    SettingItem mac;
    SettingItem salt;
    uint32_t readBuffer = 0; // the driver's value read buffer at a load
    bool saltInMessage = false;
    bool verified = false;
    std::string why;             // when not verified: the reasons, in words
    std::string meaning;         // what the driver applies at its next load
    bool statusVerified = false; // as the status query reads it (20-byte buffer)
};

// Both settings from the registry as the host kernel's registry holds it.
std::vector<SettingReport> InspectSettings();

// The text of a UTF-16LE payload when it is printable ASCII, else its hex.
std::string PayloadText(const std::vector<uint8_t>& payload);

tools::Json SettingsJson(const std::vector<SettingReport>& reports);
std::string SettingsText(const std::vector<SettingReport>& reports);

} // namespace ctl
