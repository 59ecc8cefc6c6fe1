// Reading the simulator's command lines.
#include "tools/sim_cli/script.h"

namespace simcli {

std::vector<std::string> SplitWords(const std::string& line) {
    std::vector<std::string> words;
    std::string word;
    for (char c : line) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            if (!word.empty()) {
                words.push_back(word);
                word.clear();
            }
        } else {
            word += c;
        }
    }
    if (!word.empty()) {
        words.push_back(word);
    }
    if (!words.empty() && words[0][0] == '#') {
        words.clear();
    }
    return words;
}

namespace {

int HexDigit(char c) {
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

} // namespace

uint64_t ParseNumber(const std::string& word, uint64_t min, uint64_t max, const std::string& what) {
    std::string expected = what + " as a number from " + std::to_string(min) + " to " +
                           std::to_string(max) + " (decimal or 0x...), not \"" + word + "\"";
    bool hex = word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X');
    size_t start = hex ? 2 : 0;
    if (word.size() == start || word.size() - start > (hex ? 16u : 19u)) {
        throw UsageError(expected);
    }
    uint64_t value = 0;
    for (size_t i = start; i < word.size(); ++i) {
        int digit =
            hex ? HexDigit(word[i]) : (word[i] >= '0' && word[i] <= '9' ? word[i] - '0' : -1);
        if (digit < 0) {
            throw UsageError(expected);
        }
        value = value * (hex ? 16 : 10) + static_cast<uint64_t>(digit);
    }
    if (value < min || value > max) {
        throw UsageError(expected);
    }
    return value;
}

std::vector<uint8_t> ParseHex(const std::string& word, const std::string& what) {
    std::string digits = word;
    if (digits.size() >= 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits = digits.substr(2);
    }
    std::string expected =
        what + " as hex digits in pairs without separators (e.g. 2a00), not \"" + word + "\"";
    if (digits.empty() || digits.size() % 2 != 0) {
        throw UsageError(expected);
    }
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < digits.size(); i += 2) {
        int high = HexDigit(digits[i]);
        int low = HexDigit(digits[i + 1]);
        if (high < 0 || low < 0) {
            throw UsageError(expected);
        }
        bytes.push_back(static_cast<uint8_t>(high * 16 + low));
    }
    return bytes;
}

} // namespace simcli
