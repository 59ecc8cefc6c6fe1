// The settings inspector.
#include "tools/pcmfilterctl/settings_inspector.h"

#include <algorithm>
#include <cstring>

#include "common/setting_codec.h"
#include "common/setting_signing.h"
#include "kernel/host/registry_control.h"
#include "tools/common/control_verbs.h"

namespace ctl {

namespace {

// The driver's read buffers, in bytes.
const uint32_t kMacRead = 40;
const uint32_t kSaltRead = 20;
const uint32_t kBlockModeRead = 40;
const uint32_t kReadOnlyRead = 20;
const uint32_t kStatusRead = 20;

std::u16string Wide(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

// Reads one item as the driver does into a destination of `capacity` bytes:
// a REG_SZ of whole 16-bit units ending in a zero unit, fitting the codec
// buffer, whose encoded text is whole groups of four that decode into the
// destination.  Anything else reads as missing.
SettingItem ReadItem(const std::string& key, const std::string& name, uint32_t capacity) {
    SettingItem item;
    item.key = key;
    item.name = name;
    ULONG type = 0;
    item.present = hk::RegistryGetValue(Wide(key), Wide(name), &type, &item.stored);
    item.type = type;
    if (!item.present) {
        item.problem = "missing";
        return item;
    }
    const size_t size = item.stored.size();
    const uint32_t codecCapacity = capacity * 4 / 3 + 10;
    if (type != REG_SZ) {
        item.problem =
            "not REG_SZ (type " + std::to_string(type) + "): the driver does not read it";
        return item;
    }
    if (size < 2 || size % 2 != 0 || item.stored[size - 2] != 0 || item.stored[size - 1] != 0) {
        item.problem = "not a zero-terminated UTF-16 text: the driver does not read it";
        return item;
    }
    if (size > codecCapacity) {
        item.problem = std::to_string(size) + " bytes, more than the driver's " +
                       std::to_string(codecCapacity) + "-byte read buffer: it reads as missing";
        return item;
    }
    ULONG encoded = static_cast<ULONG>(size - 2);
    if (encoded % 4 != 0 || encoded / 4 * 3 > capacity) {
        item.problem = "its encoded text does not decode into the driver's " +
                       std::to_string(capacity) + "-byte buffer: it reads as missing";
        return item;
    }
    std::vector<UCHAR> input(item.stored.begin(), item.stored.begin() + encoded);
    std::vector<UCHAR> output(encoded / 4 * 3 + 1, 0);
    ULONG decodedSize = encoded;
    NTSTATUS status = DecodeSettingValue(input.data(), output.data(), &decodedSize);
    item.readable = true;
    item.decoded.assign(output.begin(), output.begin() + decodedSize);
    if (!NT_SUCCESS(status)) {
        item.problem = "not valid encoded base64 (" + tools::StatusHex(status) +
                       "); the bytes decoded anyway are used";
    }
    return item;
}

// Copies as much of `bytes` as fits into a buffer of `capacity` bytes.
void CopyInto(UCHAR* buffer, size_t capacity, const std::vector<uint8_t>& bytes) {
    size_t size = std::min(capacity, bytes.size());
    if (size > 0) {
        std::memcpy(buffer, bytes.data(), size);
    }
}

struct Verification {
    bool verified = false;
    bool saltInMessage = false;
    std::vector<uint8_t> message; // value text followed by salt text, as signed
};

// The driver's verification of one setting with a value buffer of `capacity`.
Verification Verify(const SettingItem& value, const SettingItem& mac, const SettingItem& salt,
                    uint32_t capacity) {
    Verification result;
    UCHAR saltBuffer[kSaltRead] = {};
    CopyInto(saltBuffer, kSaltRead, salt.decoded);
    ULONG saltSize = SettingTextSize(saltBuffer, kSaltRead);

    std::vector<UCHAR> buffer(capacity, 0);
    ULONG valueSize = static_cast<ULONG>(std::min<size_t>(value.decoded.size(), capacity));
    CopyInto(buffer.data(), valueSize, value.decoded);
    result.saltInMessage = valueSize + saltSize <= capacity;
    if (result.saltInMessage) {
        std::memcpy(buffer.data() + valueSize, saltBuffer, saltSize);
    }
    ULONG messageSize = SettingTextSize(buffer.data(), capacity);
    result.message.assign(buffer.begin(), buffer.begin() + messageSize);

    UCHAR digest[SETTING_MAC_SIZE];
    ComputeSettingMac(buffer.data(), messageSize, digest);
    UCHAR macBuffer[kMacRead] = {};
    CopyInto(macBuffer, kMacRead, mac.decoded);
    result.verified = std::memcmp(macBuffer, digest, SETTING_MAC_SIZE) == 0;
    return result;
}

SettingReport Inspect(const std::string& setting, const std::string& name,
                      const std::string& macName, uint32_t readBuffer, bool blockMode) {
    SettingReport report;
    report.setting = setting;
    report.readBuffer = readBuffer;
    report.value = ReadItem("VexaPCMFilter", name, readBuffer);
    report.mac = ReadItem("VexaPCMFilter\\1", macName, kMacRead);
    report.salt = ReadItem("VexaPCMFilter\\2", name, kSaltRead);
    Verification load = Verify(report.value, report.mac, report.salt, readBuffer);
    report.verified = load.verified;
    report.saltInMessage = load.saltInMessage;
    if (readBuffer == kStatusRead) {
        report.statusVerified = load.verified;
    } else {
        SettingItem statusValue = ReadItem("VexaPCMFilter", name, kStatusRead);
        report.statusVerified = Verify(statusValue, report.mac, report.salt, kStatusRead).verified;
    }

    if (report.verified) {
        const UCHAR* text = load.message.data();
        ULONG size = static_cast<ULONG>(load.message.size());
        if (blockMode) {
            static const char* const names[] = {"none (as unset)", "ON", "BLOCK", "ALLBLOCK"};
            report.meaning = std::string("block mode ") + names[SettingBlockMode(text, size) & 3];
        } else {
            report.meaning = SettingReadOnly(text, size) ? "read-only protection active"
                                                         : "read-only protection inactive";
        }
        return report;
    }
    report.meaning =
        blockMode ? "block mode none (unset)" : "read-only protection inactive (unset)";
    if (!report.value.present && !report.mac.present && !report.salt.present) {
        report.why = "not stored (its value text, MAC and salt are all missing)";
        return report;
    }
    std::vector<std::string> reasons;
    for (const SettingItem* item : {&report.value, &report.mac, &report.salt}) {
        if (!item->readable) {
            reasons.push_back(item->key + " \"" + item->name + "\" " + item->problem);
        }
    }
    if (!report.saltInMessage) {
        reasons.push_back("value and salt together exceed the driver's " +
                          std::to_string(readBuffer) +
                          "-byte buffer, so the salt is left out of the signed message");
    }
    reasons.push_back("the stored MAC does not match the one computed over the value text and "
                      "salt (altered, or written other than by the driver's rules)");
    for (const std::string& reason : reasons) {
        report.why += (report.why.empty() ? "" : "; ") + reason;
    }
    return report;
}

tools::Json ItemJson(const SettingItem& item) {
    tools::Json json = tools::Json::Object();
    json.Set("key", item.key);
    json.Set("name", item.name);
    json.Set("present", item.present);
    if (item.present) {
        json.Set("type", static_cast<unsigned long>(item.type));
        json.Set("stored", tools::HexBytes(item.stored));
    }
    json.Set("readable", item.readable);
    json.Set("decoded", tools::HexBytes(item.decoded));
    json.Set("text", PayloadText(item.decoded));
    if (!item.problem.empty()) {
        json.Set("problem", item.problem);
    }
    return json;
}

} // namespace

std::vector<SettingReport> InspectSettings() {
    return {Inspect("block mode", "0", "0", kBlockModeRead, true),
            Inspect("read-only", "1", "257", kReadOnlyRead, false)};
}

std::string PayloadText(const std::vector<uint8_t>& payload) {
    bool printable = payload.size() % 2 == 0;
    std::string text;
    for (size_t i = 0; printable && i < payload.size(); i += 2) {
        printable = payload[i + 1] == 0 && payload[i] >= 0x20 && payload[i] < 0x7F;
        text += static_cast<char>(payload[i]);
    }
    return printable ? text : tools::HexBytes(payload);
}

tools::Json SettingsJson(const std::vector<SettingReport>& reports) {
    tools::Json list = tools::Json::Array();
    for (const SettingReport& report : reports) {
        tools::Json json = tools::Json::Object();
        json.Set("setting", report.setting);
        json.Set("value", ItemJson(report.value));
        json.Set("salt", ItemJson(report.salt));
        json.Set("mac", ItemJson(report.mac));
        json.Set("verified", report.verified);
        if (!report.why.empty()) {
            json.Set("why", report.why);
        }
        json.Set("meaning", report.meaning);
        json.Set("statusVerified", report.statusVerified);
        list.Push(json);
    }
    return list;
}

std::string SettingsText(const std::vector<SettingReport>& reports) {
    std::string text;
    for (const SettingReport& report : reports) {
        auto line = [&text](const std::string& label, const SettingItem& item, bool asText) {
            text += "  " + label + item.key + " \"" + item.name + "\": ";
            if (!item.present) {
                text += "missing\n";
                return;
            }
            text += std::to_string(item.stored.size()) + " bytes stored";
            if (item.readable) {
                text += ", decodes to " +
                        (asText ? "\"" + PayloadText(item.decoded) + "\""
                                : tools::HexBytes(item.decoded) + " (" +
                                      std::to_string(item.decoded.size()) + " bytes)");
            }
            text += item.problem.empty() ? "\n" : "; " + item.problem + "\n";
        };
        text += "The " + report.setting + " setting:\n";
        line("value  ", report.value, true);
        line("salt   ", report.salt, true);
        line("MAC    ", report.mac, false);
        text += "  verified: " + std::string(report.verified ? "yes" : "no") +
                (report.verified ? "" : " - " + report.why) + "\n";
        text += "  at the driver's next load: " + report.meaning + "\n";
        if (report.statusVerified != report.verified) {
            text += "  the status query (20-byte buffer) finds it " +
                    std::string(report.statusVerified ? "verified" : "not verified") + "\n";
        }
    }
    return text;
}

} // namespace ctl
