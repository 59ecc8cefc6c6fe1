// Run-time library services of the host kernel: counted and zero-terminated
// 16-bit strings, memory comparison, and the system clock with its conversion
// to calendar fields.
//
// The clock stands still: system time is a fixed instant (2026-12-11 10:00:00)
// plus a milliseconds part that tests set, so that anything drawn from the time
// (the settings store's salt) is deterministic.  Local time equals system time
// (a time-zone bias of zero).  None of these services touches paged memory or
// waits, so each may be called at any IRQL up to DISPATCH_LEVEL.

#include <atomic>
#include <climits>
#include <cstring>

#include "kernel/host/host_internal.h"

namespace {

// 100-ns intervals per unit of time.
constexpr LONGLONG kTicksPerMillisecond = 10000;
constexpr LONGLONG kTicksPerSecond = 1000 * kTicksPerMillisecond;
constexpr LONGLONG kTicksPerDay = 86400 * kTicksPerSecond;

// 2026-12-11 10:00:00.000, in 100-ns intervals since 1601-01-01 00:00:00.
constexpr LONGLONG kDefaultSystemTime = 134414568000000000LL;

// Minutes to add to local time to get system time.
constexpr LONGLONG kTimeZoneBias = 0;

std::atomic<int> g_milliseconds{0};

size_t WideLength(const WCHAR* text) {
    size_t units = 0;
    while (text[units] != 0) {
        ++units;
    }
    return units;
}

WCHAR FoldAscii(WCHAR unit) {
    if (unit >= u'A' && unit <= u'Z') {
        return static_cast<WCHAR>(unit - u'A' + u'a');
    }
    return unit;
}

bool IsLeapYear(LONGLONG year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

} // namespace

namespace hk {

void SetLocalMilliseconds(int milliseconds) {
    // Only the milliseconds field moves; values outside 0..999 wrap into it.
    g_milliseconds.store(((milliseconds % 1000) + 1000) % 1000);
}

namespace detail {

void ResetRtl() {
    g_milliseconds.store(0);
}

} // namespace detail
} // namespace hk

// ---------------------------------------------------------------------------
// Counted strings.

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        DestinationString->Buffer = nullptr;
        return;
    }
    // A counted string holds at most 0xFFFE bytes; a longer text is counted
    // only up to the largest even length that leaves room for its terminator.
    size_t bytes = WideLength(SourceString) * sizeof(WCHAR);
    const size_t limit = 0xFFFC;
    if (bytes > limit) {
        bytes = limit;
    }
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
    if (Source == nullptr) {
        return STATUS_SUCCESS;
    }
    const size_t bytes = WideLength(Source) * sizeof(WCHAR);
    const size_t length = Destination->Length;
    if (length + bytes > Destination->MaximumLength) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    auto* target = reinterpret_cast<UCHAR*>(Destination->Buffer) + length;
    memmove(target, Source, bytes);
    Destination->Length = static_cast<USHORT>(length + bytes);
    // The terminator goes in only when a whole unit fits behind the text (an
    // odd MaximumLength never gets a half-unit written past its end).
    if (static_cast<size_t>(Destination->Length) + sizeof(WCHAR) <= Destination->MaximumLength) {
        memset(target + bytes, 0, sizeof(WCHAR));
    }
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// Zero-terminated strings.

int _wcsicmp(const WCHAR* String1, const WCHAR* String2) {
    // ASCII letters compare as their lower-case forms, as the C library's
    // case-insensitive comparison does in the "C" locale.
    for (size_t i = 0;; ++i) {
        const int a = FoldAscii(String1[i]);
        const int b = FoldAscii(String2[i]);
        if (a != b || a == 0) {
            return a - b;
        }
    }
}

WCHAR* _itow(int Value, WCHAR* Buffer, int Radix) {
    if (Buffer == nullptr || Radix < 2 || Radix > 36) {
        hk::detail::Violate("invalid-parameter", "_itow called with radix " +
                                                     std::to_string(Radix) +
                                                     (Buffer == nullptr ? " and no buffer" : ""));
        if (Buffer != nullptr) {
            Buffer[0] = 0;
        }
        return Buffer;
    }
    // Only radix 10 has a sign; in any other radix the bits are read as an
    // unsigned number.
    const bool negative = Radix == 10 && Value < 0;
    unsigned int magnitude = static_cast<unsigned int>(Value);
    if (negative) {
        magnitude = 0u - magnitude;
    }
    WCHAR digits[sizeof(unsigned int) * CHAR_BIT];
    size_t count = 0;
    do {
        const unsigned int digit = magnitude % static_cast<unsigned int>(Radix);
        digits[count++] = static_cast<WCHAR>(digit < 10 ? u'0' + digit : u'a' + (digit - 10));
        magnitude /= static_cast<unsigned int>(Radix);
    } while (magnitude != 0);
    WCHAR* out = Buffer;
    if (negative) {
        *out++ = u'-';
    }
    while (count > 0) {
        *out++ = digits[--count];
    }
    *out = 0;
    return Buffer;
}

// ---------------------------------------------------------------------------
// Memory.

SIZE_T RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length) {
    const auto* a = static_cast<const UCHAR*>(Source1);
    const auto* b = static_cast<const UCHAR*>(Source2);
    SIZE_T equal = 0;
    while (equal < Length && a[equal] == b[equal]) {
        ++equal;
    }
    return equal;
}

// ---------------------------------------------------------------------------
// Time.

VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    CurrentTime->QuadPart = kDefaultSystemTime + g_milliseconds.load() * kTicksPerMillisecond;
}

VOID ExSystemTimeToLocalTime(PLARGE_INTEGER SystemTime, PLARGE_INTEGER LocalTime) {
    LocalTime->QuadPart = SystemTime->QuadPart - kTimeZoneBias * 60 * kTicksPerSecond;
}

VOID RtlTimeToTimeFields(PLARGE_INTEGER Time, PTIME_FIELDS TimeFields) {
    LONGLONG ticks = Time->QuadPart;
    if (ticks < 0) {
        // Times before 1601 have no calendar form; the fields of 1601-01-01
        // are given instead of whatever a wrapped division would produce.
        hk::detail::Violate("invalid-parameter", "RtlTimeToTimeFields called with negative time " +
                                                     std::to_string(ticks));
        ticks = 0;
    }
    LONGLONG days = ticks / kTicksPerDay;
    const LONGLONG inDay = ticks % kTicksPerDay;

    // 1601-01-01 was a Monday; weekday 0 is Sunday.
    TimeFields->Weekday = static_cast<CSHORT>((days + 1) % 7);

    // 1601 begins a 400-year cycle of the Gregorian calendar: each cycle has
    // four centuries of 36524 days except that the fourth one ends with the
    // leap day of the year divisible by 400; each century has 4-year groups of
    // 1461 days (the last one short when the century year is not leap); each
    // group has three common years and then a leap year.
    const LONGLONG cycles = days / 146097;
    days %= 146097;
    LONGLONG centuries = days / 36524;
    if (centuries > 3) {
        centuries = 3;
    }
    days -= centuries * 36524;
    const LONGLONG groups = days / 1461;
    days %= 1461;
    LONGLONG years = days / 365;
    if (years > 3) {
        years = 3;
    }
    days -= years * 365;
    const LONGLONG year = 1601 + cycles * 400 + centuries * 100 + groups * 4 + years;

    static const int kMonthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int month = 0;
    for (; month < 11; ++month) {
        const int length = kMonthDays[month] + (month == 1 && IsLeapYear(year) ? 1 : 0);
        if (days < length) {
            break;
        }
        days -= length;
    }

    TimeFields->Year = static_cast<CSHORT>(year);
    TimeFields->Month = static_cast<CSHORT>(month + 1);
    TimeFields->Day = static_cast<CSHORT>(days + 1);
    TimeFields->Hour = static_cast<CSHORT>(inDay / (3600 * kTicksPerSecond));
    TimeFields->Minute = static_cast<CSHORT>(inDay / (60 * kTicksPerSecond) % 60);
    TimeFields->Second = static_cast<CSHORT>(inDay / kTicksPerSecond % 60);
    TimeFields->Milliseconds = static_cast<CSHORT>(inDay / kTicksPerMillisecond % 1000);
}
