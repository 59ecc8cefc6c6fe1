// Verifier findings, leak reports and the reset of the whole host kernel.

#include <cstdio>
#include <sstream>

#include "kernel/host/host_internal.h"

namespace hk {

namespace {

std::mutex& FindingLock() {
    static std::mutex lock;
    return lock;
}

std::vector<Violation>& Findings() {
    static std::vector<Violation> findings;
    return findings;
}

bool gAsanTraps = true;

} // namespace

namespace detail {

void Violate(const std::string& rule, const std::string& detail) {
    std::lock_guard<std::mutex> guard(FindingLock());
    Findings().push_back(Violation{rule, detail});
}

bool AsanTraps() {
    return gAsanTraps;
}

std::string Hex(uint64_t value) {
    char text[32];
    std::snprintf(text, sizeof(text), "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

std::string Narrow(const WCHAR* text, size_t units) {
    std::string out;
    for (size_t i = 0; i < units; ++i) {
        WCHAR c = text[i];
        out += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
    }
    return out;
}

std::string Narrow(const std::u16string& text) {
    return Narrow(text.data(), text.size());
}

} // namespace detail

std::vector<Violation> Violations() {
    std::lock_guard<std::mutex> guard(FindingLock());
    return Findings();
}

void ClearViolations() {
    std::lock_guard<std::mutex> guard(FindingLock());
    Findings().clear();
}

void ReportViolation(const std::string& rule, const std::string& detail) {
    detail::Violate(rule, detail);
}

std::vector<std::string> Leaks() {
    std::vector<std::string> out;
    detail::AppendIoLeaks(out);
    detail::AppendRemoveLockLeaks(out);
    detail::AppendObjectLeaks(out);
    detail::AppendPoolLeaks(out);
    return out;
}

std::string CheckClean() {
    std::ostringstream text;
    for (const Violation& v : Violations()) {
        text << "violation " << v.rule << ": " << v.detail << "\n";
    }
    for (const std::string& leak : Leaks()) {
        text << "leak: " << leak << "\n";
    }
    return text.str();
}

void SetAsanTraps(bool on) {
    gAsanTraps = on;
}

void Reset() {
    DrainWork();
    // Requests and devices first: they may hold pool and object references.
    detail::ResetIo();
    detail::ResetRemoveLocks();
    detail::ResetObjects();
    detail::ResetPool();
    detail::ResetSync();
    detail::ResetRegistry();
    detail::ResetRtl();
    detail::ResetSignalCounts();
    ClearFaultPlans();
    ClearViolations();
    gAsanTraps = true;
}

} // namespace hk
