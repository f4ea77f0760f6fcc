// The range options /[...] and /![...], the description filter's option form,
// and the day count the date and weekday ranges share.
#include "filesel/FileSel.h"
#include "filesel/FileSelInternal.h"
#include "plugin/Plugin.h"
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <utility>

namespace {

constexpr uint32_t SecondsPerDay = 86400;

bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }
wchar_t Upper(wchar_t c) { return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - 32) : c; }
bool IsRest(const wchar_t* p) { return p[0] == L']' && p[1] == L'\0'; }
void SkipOne(const wchar_t*& p, wchar_t a, wchar_t b = 0) {
    if (*p && (*p == a || *p == b)) ++p;
}

// Reads the decimal digits at p. False when the value does not fit 32 bits
// (all digits are still consumed).
bool ReadDecimal(const wchar_t*& p, uint32_t& value) {
    uint64_t v = 0;
    bool fits = true;
    for (; IsDigit(*p); ++p) {
        v = v * 10 + static_cast<uint32_t>(*p - L'0');
        if (v > 0xFFFFFFFFu) fits = false, v = 0xFFFFFFFFu;
    }
    value = static_cast<uint32_t>(v);
    return fits;
}

bool MultiplyFits(uint64_t& value, uint64_t factor) {
    if (factor && value > UINT64_MAX / factor) return false;
    value *= factor;
    return true;
}

// A size: decimal digits and at most one multiplier letter (case matters:
// lower case counts in thousands, upper case in 1024s). A size that does not
// fit 64 bits is refused rather than wrapped into a small one.
bool ReadSize(const wchar_t*& p, uint64_t& size) {
    uint64_t v = 0;
    for (; IsDigit(*p); ++p)
        if (!MultiplyFits(v, 10) || v > UINT64_MAX - static_cast<uint64_t>(*p - L'0')) return false;
        else v += static_cast<uint64_t>(*p - L'0');
    static const struct { wchar_t letter; uint64_t factor; } Multipliers[] = {
        {L'k', 1000ull},          {L'K', 1ull << 10},       {L'm', 1000000ull}, {L'M', 1ull << 20},
        {L'g', 1000000000ull},    {L'G', 1ull << 30},       {L't', 1000000000000ull},
        {L'T', 1ull << 40},       {L'p', 1000000000000000ull}, {L'P', 1ull << 50},
    };
    for (const auto& m : Multipliers)
        if (*p == m.letter) {
            if (!MultiplyFits(v, m.factor)) return false;
            ++p;
            break;
        }
    size = v;
    return true;
}

bool IsLeapYear(uint32_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

uint32_t DaysInMonth(uint32_t year, uint32_t month) {
    static const uint8_t Days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : Days[month - 1];
}

// Hours, ":" or ".", minutes, optionally ":" or "." and seconds, then an
// optional A or P (with an optional M). Gives the seconds of the day.
bool ReadTimeElement(const wchar_t*& p, uint32_t& seconds, bool& secondsGiven) {
    const wchar_t* q = p;
    uint32_t h = 0, m = 0, s = 0;
    secondsGiven = false;
    if (!IsDigit(*q) || !ReadDecimal(q, h)) return false;
    if (*q != L':' && *q != L'.') return false;
    ++q;
    if (!IsDigit(*q) || !ReadDecimal(q, m)) return false;
    if ((*q == L':' || *q == L'.') && IsDigit(q[1])) {
        ++q;
        if (!ReadDecimal(q, s)) return false;
        secondsGiven = true;
    }
    if (h > 23 || m > 59 || s > 59) return false;
    wchar_t suffix = Upper(*q);
    if (suffix == L'A' || suffix == L'P') {
        if (h < 1 || h > 12) return false;
        h = h % 12 + (suffix == L'P' ? 12 : 0);
        ++q;
        if (Upper(*q) == L'M') ++q;
    }
    seconds = h * 3600 + m * 60 + s;
    p = q;
    return true;
}

// The order of a date's fields when the first one is not a year:
// 0 month-day-year, 1 day-month-year, 2 year-month-day.
int LocaleDateOrder() {
    wchar_t text[16] = {};
    if (!GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_IDATE, text, 16)) return 0;
    int order = 0;
    for (const wchar_t* p = text; IsDigit(*p) && order < 3; ++p) order = order * 10 + (*p - L'0');
    return order < 3 ? order : 0;
}

// Three numbers separated by "/", "-" or "."; gives the day number.
bool ReadDateElement(const wchar_t*& p, uint32_t& day) {
    const wchar_t* q = p;
    uint32_t n[3];
    for (int i = 0; i < 3; ++i) {
        if (i > 0) {
            if ((*q != L'/' && *q != L'-' && *q != L'.') || !IsDigit(q[1])) return false;
            ++q;
        }
        if (!IsDigit(*q)) return false;
        ReadDecimal(q, n[i]);  // a value too large for 32 bits fails the checks below
    }
    uint32_t year = n[0], month = n[1], dayOfMonth = n[2];
    if (n[0] < 1601 || n[0] > 9999) {
        switch (LocaleDateOrder()) {
        case 1: dayOfMonth = n[0], month = n[1], year = n[2]; break;
        case 2: break;
        default: month = n[0], dayOfMonth = n[1], year = n[2]; break;
        }
    }
    if (year <= 79) year += 2000;
    else if (year <= 99) year += 1900;
    if (year < 1601 || year > 9999 || month < 1 || month > 12 || dayOfMonth < 1 ||
        dayOfMonth > DaysInMonth(year, month))
        return false;
    day = DayNumber(year, month, dayOfMonth);
    p = q;
    return true;
}

uint16_t ReadStamp(const wchar_t*& p) {
    switch (Upper(*p)) {
    case L'W': ++p; return Write;
    case L'A': ++p; return Access;
    case L'C': ++p; return Creation;
    default: return Write;
    }
}

// Reports a type parser's failure with the tail upper-cased in place.
int BadTail(const wchar_t* format, wchar_t* tail) {
    CharUpperW(tail);
    ReportError(format, tail);
    return 1;
}

// Allocates a node of `bytes` bytes (zero-filled) and pushes it on the list.
void* PushNode(Range** ranges, size_t bytes, wchar_t type, const wchar_t* failure) {
    Range* node = static_cast<Range*>(std::calloc(1, bytes));
    if (!node) {
        ReportError(L"%s\r\n", failure);
        return nullptr;
    }
    node->type = type;
    node->next = *ranges;
    *ranges = node;
    return node;
}

// Text variants keep their pattern inline, after the fixed fields. sizeof(T)
// already holds pattern[1], the room for the terminator (offsetof is not
// defined for these derived records).
template <class T>
T* PushTextNode(Range** ranges, wchar_t type, const wchar_t* pattern, size_t length, const wchar_t* failure) {
    T* node = static_cast<T*>(PushNode(ranges, sizeof(T) + length * sizeof(wchar_t), type, failure));
    if (node) {
        std::memcpy(node->pattern, pattern, length * sizeof(wchar_t));
        node->pattern[length] = L'\0';
    }
    return node;
}

int ParseSizeRange(wchar_t* tail, int reverse, Range** ranges) {
    const wchar_t* p = tail;
    SkipOne(p, L':', L'=');
    if (IsRest(p)) return 0;
    uint64_t minSize = 0, maxSize = UINT64_MAX;
    bool relative = false;
    bool ok = !IsDigit(*p) || ReadSize(p, minSize);
    if (ok) {
        SkipOne(p, L',');
        if (*p == L'+' && IsDigit(p[1])) ++p, relative = true;
        if (IsDigit(*p)) ok = ReadSize(p, maxSize);
    }
    if (ok && relative) {
        if (maxSize > UINT64_MAX - minSize) ok = false;
        else maxSize += minSize;
    }
    if (!ok || !IsRest(p)) return BadTail(L"Bad size range: \"%s\"\r\n", tail);
    if (minSize > maxSize) std::swap(minSize, maxSize);
    auto* node = static_cast<SizeRange*>(
        PushNode(ranges, sizeof(SizeRange), L'S', L"Can\u2019t allocate size range structure"));
    if (!node) return 1;
    node->reverse = reverse;
    node->minSize = minSize;
    node->maxSize = maxSize;
    return 0;
}

// One end of a time range: a time element, "+minutes" from base, "-seconds"
// from base, or, when nothing is written, now (if nowHere) or midnight.
bool ReadTimeEnd(const wchar_t*& p, uint32_t base, uint32_t now, bool nowHere, uint32_t& value, bool& secondsGiven) {
    secondsGiven = false;
    uint32_t n = 0;
    if (IsDigit(*p)) return ReadTimeElement(p, value, secondsGiven);
    if (*p == L'+' && IsDigit(p[1])) {
        ++p;
        if (!ReadDecimal(p, n)) return false;
        value = static_cast<uint32_t>((base + static_cast<uint64_t>(n) * 60) % SecondsPerDay);
        return true;
    }
    if (*p == L'-' && IsDigit(p[1])) {
        ++p;
        if (!ReadDecimal(p, n)) return false;
        value = n > base ? 0 : base - n;
        return true;
    }
    value = nowHere ? now : 0;
    return true;
}

int ParseTimeRange(wchar_t* tail, int reverse, Range** ranges) {
    if (IsRest(tail)) return 0;
    SYSTEMTIME clock;
    GetLocalTime(&clock);
    uint32_t now = clock.wHour * 3600u + clock.wMinute * 60u;  // the current minute
    const wchar_t* p = tail;
    uint16_t stamp = ReadStamp(p);
    SkipOne(p, L':', L'=');
    uint32_t start = 0, end = 0;
    bool startSeconds = false, endSeconds = false;
    if (!ReadTimeEnd(p, now, now, *p == L',' || *p == L']', start, startSeconds))
        return BadTail(L"Bad time range: \"%s\"\r\n", tail);
    SkipOne(p, L',');
    if (!ReadTimeEnd(p, start, now, *p == L']', end, endSeconds)) return BadTail(L"Bad time range: \"%s\"\r\n", tail);
    if (start > end) {
        std::swap(start, end);
        endSeconds = startSeconds;
    }
    if (!endSeconds) end += 59;
    if (!IsRest(p)) return BadTail(L"Bad time range: \"%s\"\r\n", tail);
    auto* node = static_cast<TimeRange*>(
        PushNode(ranges, sizeof(TimeRange), L'T', L"Can\u2019t allocate time range structure"));
    if (!node) return 1;
    node->reverse = reverse;
    node->stamp = stamp;
    node->startSecond = start;
    node->endSecond = end;
    return 0;
}

// One end of a date range as written: the day and, when "@" gave one, a time.
struct DatePoint {
    uint32_t day = 0;
    bool hasTime = false;
    uint32_t second = 0;
    bool secondsGiven = false;
};

enum class DateEnd { Good, BadDate, BadTime };

DateEnd ReadDateEnd(const wchar_t*& p, uint32_t base, uint32_t today, bool todayHere, DatePoint& point) {
    uint32_t n = 0;
    bool timeMayFollow = true;
    if (IsDigit(*p)) {
        if (!ReadDateElement(p, point.day)) return DateEnd::BadDate;
    } else if (*p == L'+' && IsDigit(p[1])) {
        ++p;
        if (!ReadDecimal(p, n)) return DateEnd::BadDate;
        uint64_t day = static_cast<uint64_t>(base) + n;
        point.day = day > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(day);
    } else if (*p == L'-' && IsDigit(p[1])) {
        ++p;
        if (!ReadDecimal(p, n)) return DateEnd::BadDate;
        point.day = n > base ? 0 : base - n;
        timeMayFollow = false;
    } else {
        point.day = todayHere ? today : 0;
        timeMayFollow = false;
    }
    if (timeMayFollow && *p == L'@') {
        ++p;
        if (!ReadTimeElement(p, point.second, point.secondsGiven)) return DateEnd::BadTime;
        point.hasTime = true;
    }
    return DateEnd::Good;
}

// The seconds an end point stands for at each side of a range: a start
// without a time is midnight, an end without one the whole day, and an end
// time without seconds runs to its 59th second.
uint32_t StartSecond(const DatePoint& p) { return p.hasTime ? p.second : 0; }
uint32_t EndSecond(const DatePoint& p) {
    if (!p.hasTime) return 0xFFFFFFFFu;
    return p.secondsGiven ? p.second : p.second + 59;
}

int ParseDateRange(wchar_t* tail, int reverse, Range** ranges) {
    if (IsRest(tail)) return 0;
    SYSTEMTIME clock;
    GetLocalTime(&clock);
    uint32_t today = DayNumber(clock.wYear, clock.wMonth, clock.wDay);
    const wchar_t* p = tail;
    uint16_t stamp = ReadStamp(p);
    SkipOne(p, L':', L'=');
    DatePoint start, end;
    switch (ReadDateEnd(p, today, today, *p == L',' || *p == L']', start)) {
    case DateEnd::BadDate: return BadTail(L"Bad date1 in range: \"%s\"\r\n", tail);
    case DateEnd::BadTime: return BadTail(L"Bad date1 (time) in range: \"%s\"\r\n", tail);
    case DateEnd::Good: break;
    }
    SkipOne(p, L',');
    switch (ReadDateEnd(p, start.day, today, *p == L']', end)) {
    case DateEnd::BadDate: return BadTail(L"Bad date2 in range: \"%s\"\r\n", tail);
    case DateEnd::BadTime: return BadTail(L"Bad date2 (time) in range: \"%s\"\r\n", tail);
    case DateEnd::Good: break;
    }
    // A range written backwards is turned round with each time kept on its
    // own date: "d2@17:00,d1@08:00" means d1 08:00 to d2 17:00.
    if (start.day > end.day || (start.day == end.day && StartSecond(start) > EndSecond(end))) std::swap(start, end);
    if (!IsRest(p)) return BadTail(L"Bad date range: \"%s\"\r\n", tail);
    auto* node = static_cast<DateRange*>(
        PushNode(ranges, sizeof(DateRange), L'D', L"Can\u2019t allocate date range structure"));
    if (!node) return 1;
    node->reverse = reverse;
    node->stamp = stamp;
    node->startDay = start.day;
    node->endDay = end.day;
    node->startSecond = StartSecond(start);
    node->endSecond = EndSecond(end);
    return 0;
}

bool EndsDayToken(wchar_t c) {
    return c == 0 || iswspace(c) || c == L',' || c == L'-' || c == L'.' || c == L';' || c == L']';
}

bool SameLetters(const wchar_t* text, size_t length, const wchar_t* word) {
    if (wcslen(word) != length) return false;
    for (size_t i = 0; i < length; ++i)
        if (Upper(text[i]) != Upper(word[i])) return false;
    return true;
}

// One weekday token: gives its day mask and whether it is a single day.
bool ReadDayToken(const wchar_t*& p, uint16_t& mask, bool& single) {
    const wchar_t* start = p;
    while (!EndsDayToken(*p)) ++p;
    size_t length = static_cast<size_t>(p - start);
    if (length == 0 || length > 1023) return false;
    single = false;
    if (SameLetters(start, length, L"weekday") || SameLetters(start, length, L"weekdays")) return mask = 0x3E, true;
    if (SameLetters(start, length, L"weekend") || SameLetters(start, length, L"weekends")) return mask = 0x41, true;
    single = true;
    if (IsDigit(*start)) {
        const wchar_t* q = start;
        uint32_t day = 0;
        if (!ReadDecimal(q, day) || q != p || day > 7) return false;
        mask = static_cast<uint16_t>(1u << (day % 7));
        return true;
    }
    static const wchar_t* const Names[7] = {L"SU", L"MO", L"TU", L"WE", L"TH", L"FR", L"SA"};
    if (length < 2) return false;
    for (int d = 0; d < 7; ++d)
        if (Upper(start[0]) == Names[d][0] && Upper(start[1]) == Names[d][1]) {
            mask = static_cast<uint16_t>(1u << d);
            return true;
        }
    return false;
}

int DayOf(uint16_t mask) {
    int d = 0;
    while (!(mask & (1u << d))) ++d;
    return d;
}

int ParseDowRange(wchar_t* tail, int reverse, Range** ranges) {
    if (IsRest(tail)) return 0;
    const wchar_t* p = tail;
    uint16_t stamp = ReadStamp(p);
    if (*p != L':' && *p != L'=') return BadTail(L"Bad day-of-the-week range: \"%s\"\r\n", tail);
    ++p;
    uint16_t days = 0;
    int items = 0;
    while (*p && !IsRest(p)) {
        uint16_t first = 0;
        bool single = false;
        if (!ReadDayToken(p, first, single)) return BadTail(L"Bad day-of-the-week range: \"%s\"\r\n", tail);
        bool dash = *p == L'-', dots = p[0] == L'.' && p[1] == L'.';
        if (dash || dots) {
            p += dash ? 1 : 2;
            uint16_t last = 0;
            bool lastSingle = false;
            if (!single || !ReadDayToken(p, last, lastSingle) || !lastSingle || *p == L'-' || *p == L'.')
                return BadTail(L"Bad day-of-the-week range: \"%s\"\r\n", tail);
            for (int d = DayOf(first);; d = (d + 1) % 7) {
                days |= static_cast<uint16_t>(1u << d);
                if (d == DayOf(last)) break;
            }
        } else if (*p == L'.') {
            return BadTail(L"Bad day-of-the-week range: \"%s\"\r\n", tail);
        } else {
            days |= first;
        }
        ++items;
        while (*p && (iswspace(*p) || *p == L',' || *p == L';')) ++p;
    }
    if (items == 0) return BadTail(L"Bad day-of-the-week range: \"%s\"\r\n", tail);
    if (reverse) days ^= 0x7F;
    if (days == 0) return BadTail(L"Empty day-of-the-week range: \"%s\"\r\n", tail);
    auto* node = static_cast<DowRange*>(
        PushNode(ranges, sizeof(DowRange), L'W', L"Can\u2019t allocate DOW range structure"));
    if (!node) return 1;
    node->stamp = stamp;
    node->days = days;
    return 0;
}

// Words separated by white space; double quotes group blanks into a word.
int ParseExclusionList(wchar_t* tail, Range** ranges) {
    if (IsRest(tail)) return 0;
    const wchar_t* end = tail + wcslen(tail) - 1;  // the option's closing "]"
    constexpr size_t WordCapacity = 8192;           // 8191 characters and the terminator
    wchar_t* word = static_cast<wchar_t*>(std::malloc(WordCapacity * sizeof(wchar_t)));
    if (!word) {
        ReportError(L"Can\u2019t allocate exclusion range structure\r\n");
        return 1;
    }
    int result = 0;
    const wchar_t* p = tail;
    while (p < end && result == 0) {
        while (p < end && iswspace(*p)) ++p;
        if (p >= end) break;
        size_t n = 0;
        bool quoted = false;
        for (; p < end && (quoted || !iswspace(*p)); ++p) {
            if (*p == L'"') quoted = !quoted;
            else if (n < WordCapacity - 1) word[n++] = *p;
        }
        word[n] = L'\0';
        TrimWhiteSpace(word);
        size_t length = wcslen(word);
        if (length && !PushTextNode<ExclusionRange>(ranges, L'!', word, length,
                                                     L"Can\u2019t allocate exclusion range structure"))
            result = 1;
    }
    std::free(word);
    return result;
}

// "I" and "O" in range form: the option's closing "]" is not part of the text.
int ParseTextRange(wchar_t* tail, int reverse, Range** ranges, wchar_t type) {
    if (IsRest(tail)) return 0;
    const wchar_t* p = tail;
    SkipOne(p, L':', L'=');
    size_t length = wcslen(p);
    if (length && p[length - 1] == L']') --length;
    bool added;
    if (type == L'I') {
        auto* node = PushTextNode<DescriptionRange>(ranges, L'I', p, length,
                                                    L"Can\u2019t allocate description range structure");
        if ((added = node != nullptr)) node->reverse = reverse;
    } else {
        auto* node =
            PushTextNode<OwnerRange>(ranges, L'O', p, length, L"Can\u2019t allocate owner range structure");
        if ((added = node != nullptr)) node->reverse = reverse;
    }
    return added ? 0 : 1;
}

}  // namespace

uint32_t DayNumber(uint32_t year, uint32_t month, uint32_t day) {
    static const uint16_t DaysBefore[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
    if (month < 1 || month > 12) return 0;
    uint32_t y = year - 1601;
    uint32_t n = y * 365 + y / 4 - y / 100 + y / 400 + DaysBefore[month - 1] + day;
    if (month > 2 && IsLeapYear(year)) ++n;
    return n;
}

int ParseDescriptionOption(const wchar_t* text, int reverse, Range** ranges) {
    if (!text || !ranges) return -1;
    if (IsRest(text)) return 0;
    const wchar_t* p = text;
    SkipOne(p, L':', L'=');
    auto* node = PushTextNode<DescriptionRange>(ranges, L'I', p, wcslen(p),
                                                L"Can\u2019t allocate description range structure");
    if (!node) return 1;
    node->reverse = reverse;
    return 0;
}

int ParseRangeOption(wchar_t* argument, Range** ranges) {
    if (!argument || !argument[0] || !ranges) return -1;
    int reverse = argument[1] == L'!' ? 1 : 0;
    wchar_t* bracket = argument + 1 + reverse;
    if (argument[0] != L'/' || *bracket != L'[') return -1;
    size_t length = wcslen(argument);
    if (argument[length - 1] != L']') {
        CharUpperW(argument);
        ReportError(L"Range option must end with ']': \"%s\"\r\n", argument);
        return 1;
    }
    if (reverse && bracket[1] == L'!') {
        CharUpperW(argument);
        ReportError(L"Reverse exclusion range not supported: \"%s\"\r\n", argument);
        return 1;
    }
    wchar_t* tail = bracket + 2;
    switch (Upper(bracket[1])) {
    case L'!': return ParseExclusionList(tail, ranges);
    case L'D': return ParseDateRange(tail, reverse, ranges);
    case L'I': return ParseTextRange(tail, reverse, ranges, L'I');
    case L'O': return ParseTextRange(tail, reverse, ranges, L'O');
    case L'S': return ParseSizeRange(tail, reverse, ranges);
    case L'T': return ParseTimeRange(tail, reverse, ranges);
    case L'W': return ParseDowRange(tail, reverse, ranges);
    default:
        CharUpperW(argument);
        ReportError(L"Unknown range type: \"%s\"\r\n", argument);
        return 1;
    }
}
