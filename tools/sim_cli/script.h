// Reading the simulator's command lines: words, numbers, hex byte strings.
// Every reader throws UsageError with what was expected, so a handler checks
// all its words before it changes anything.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace simcli {

// An ill-formed line: `expected` says what was expected instead.
struct UsageError : std::runtime_error {
    explicit UsageError(const std::string& expected) : std::runtime_error(expected) {}
};

// The words of a line (separated by spaces or tabs); empty for a blank line or
// a comment (a line whose first non-blank character is '#').
std::vector<std::string> SplitWords(const std::string& line);

// A number written in decimal or as 0x followed by hex digits, from min to max
// inclusive; `what` names it in the error ("socket").
uint64_t ParseNumber(const std::string& word, uint64_t min, uint64_t max, const std::string& what);

// Hex digits in pairs (either case), no separators, optionally after "0x".
std::vector<uint8_t> ParseHex(const std::string& word, const std::string& what);

} // namespace simcli
