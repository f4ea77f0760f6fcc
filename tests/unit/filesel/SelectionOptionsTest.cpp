// The selection-option and range parsers (the values and nodes they leave,
// or their exact messages), the day count, and the per-file range test.
#include "FileSelTestUtil.h"
#include "HostApi.h"
#include <cstring>

namespace {

// A parsed range list, freed at the end of the test.
struct RangeList {
    Range* head = nullptr;
    ~RangeList() { FreeRanges(head); }
    size_t Count() const {
        size_t n = 0;
        for (Range* r = head; r; r = r->next) ++n;
        return n;
    }
};

// One node written as text, so that tables can state nodes compactly:
// "S r min max", "T r stamp start end", "D r stamp day1 day2 sec1 sec2",
// "W stamp days", "! pattern", "I r pattern", "O r pattern".
std::wstring Describe(const Range* r) {
    wchar_t text[400];
    switch (r->type) {
    case L'S': {
        auto* s = static_cast<const SizeRange*>(r);
        swprintf(text, 400, L"S %d %llu %llu", s->reverse, (unsigned long long)s->minSize, (unsigned long long)s->maxSize);
        break;
    }
    case L'T': {
        auto* t = static_cast<const TimeRange*>(r);
        swprintf(text, 400, L"T %d %u %u %u", t->reverse, t->stamp, t->startSecond, t->endSecond);
        break;
    }
    case L'D': {
        auto* d = static_cast<const DateRange*>(r);
        swprintf(text, 400, L"D %d %u %u %u %u %u", d->reverse, d->stamp, d->startDay, d->endDay, d->startSecond,
                 d->endSecond);
        break;
    }
    case L'W': {
        auto* w = static_cast<const DowRange*>(r);
        swprintf(text, 400, L"W %u 0x%02X", w->stamp, w->days);
        break;
    }
    case L'!': return std::wstring(L"! ") + static_cast<const ExclusionRange*>(r)->pattern;
    case L'I':
        return L"I " + std::to_wstring(static_cast<const DescriptionRange*>(r)->reverse) + L" " +
               static_cast<const DescriptionRange*>(r)->pattern;
    case L'O':
        return L"O " + std::to_wstring(static_cast<const OwnerRange*>(r)->reverse) + L" " +
               static_cast<const OwnerRange*>(r)->pattern;
    default: return L"?";
    }
    return text;
}

std::wstring DescribeAll(const Range* r) {
    std::wstring all;
    for (; r; r = r->next) all += (all.empty() ? L"" : L" | ") + Describe(r);
    return all;
}

struct Selection {
    uint32_t mask = 0x10, value = 0, flags = CommandFlags;
    int32_t minDepth = 7, maxDepth = 9;  // not the defaults: shows what an option leaves alone
    RangeList ranges;
    int Parse(std::wstring arg, Captured* out = nullptr) {
        Captured c = CaptureOutput([&] {
            return ParseFileSelectionOption(arg.data(), &mask, &value, &flags, &minDepth, &maxDepth, &ranges.head);
        });
        if (out) *out = c;
        return c.result;
    }
};

TEST(ParseFileSelectionOption, SetsTheValuesOrReportsTheFault) {
    const uint32_t R = 0x1;  // FH_RECURSE
    struct Row {
        const wchar_t* arg;
        int result;
        uint32_t mask, value, addedFlags;
        int32_t minDepth, maxDepth;
        const wchar_t* nodes;    // the list afterwards
        const wchar_t* message;  // after the prefix; empty: none
    } rows[] = {
        {L"/a:h", 11, 0x12, 0x2, 0, 7, 9, L"", L""},
        {L"/A=H", 11, 0x12, 0x2, 0, 7, 9, L"", L""},
        {L"/AH", 11, 0x12, 0x2, 0, 7, 9, L"", L""},
        {L"/A:R-H", 11, 0x13, 0x1, 0, 7, 9, L"", L""},
        {L"/A:rhsacoie", 11, 0x7837, 0x7827, 0, 7, 9, L"", L""},
        {L"/A:", 11, 0x10, 0, 0, 7, 9, L"", L""},
        {L"/A:-", -11, 0x10, 0, 0, 7, 9, L"", L"Bad attributes: \"/A:-\"\r\n"},
        {L"/A:-1", -11, 0x10, 0, 0, 7, 9, L"", L"Bad attributes: \"/A:-1\"\r\n"},
        {L"/a:-d", -11, 0x10, 0, 0, 7, 9, L"", L"Directories not allowed: \"/A:-D\"\r\n"},
        {L"/A:x", -11, 0x10, 0, 0, 7, 9, L"", L"Bad attributes: \"/A:X\"\r\n"},
        {L"/A:H 1", -11, 0x12, 0x2, 0, 7, 9, L"", L"Bad attributes: \"/A:H 1\"\r\n"},
        {L"/ALL", -11, 0x10, 0, 0, 7, 9, L"", L"Bad attributes: \"/ALL\"\r\n"},
        {L"/s", 15, 0x10, 0, R, 0, -1, L"", L""},
        {L"/S:", 15, 0x10, 0, R, 7, 9, L"", L""},
        {L"/S2", 15, 0x10, 0, R, 7, 2, L"", L""},
        {L"/s=2", 15, 0x10, 0, R, 7, 2, L"", L""},
        {L"/S0x10", 15, 0x10, 0, R, 7, 16, L"", L""},
        {L"/S+1", 15, 0x10, 0, R, 1, 9, L"", L""},
        {L"/S3+0X1f", 15, 0x10, 0, R, 31, 3, L"", L""},
        {L"/S4294967295", 15, 0x10, 0, R, 7, -1, L"", L""},
        {L"/S4294967296", -15, 0x10, 0, R, 7, 9, L"", L"Bad MaxDepth value: \"/S4294967296\"\r\n"},
        {L"/S2+1x", -15, 0x10, 0, R, 1, 2, L"", L"Bad MinDepth value: \"/S2+1X\"\r\n"},
        {L"/S+99999999999", -15, 0x10, 0, R, 7, 9, L"", L"Bad MinDepth value: \"/S+99999999999\"\r\n"},
        {L"/S2x", -15, 0x10, 0, R, 7, 2, L"", L"Syntax error: \"/S2X\"\r\n"},
        {L"/S0x", -15, 0x10, 0, R, 7, 0, L"", L"Syntax error: \"/S0X\"\r\n"},
        {L"/S+", -15, 0x10, 0, R, 7, 9, L"", L"Syntax error: \"/S+\"\r\n"},
        {L"/Sort", -15, 0x10, 0, R, 7, 9, L"", L"Syntax error: \"/SORT\"\r\n"},
        {L"/I", 0, 0x10, 0, 0, 7, 9, L"", L""},
        {L"/!I", 0, 0x10, 0, 0, 7, 9, L"", L""},
        {L"/!X", 0, 0x10, 0, 0, 7, 9, L"", L""},
        {L"/X", 0, 0x10, 0, 0, 7, 9, L"", L""},
        {L"a.txt", 0, 0x10, 0, 0, 7, 9, L"", L""},
        {L"/I]", 12, 0x10, 0, 0, 7, 9, L"", L""},
        {L"/I:", 12, 0x10, 0, 0, 7, 9, L"I 0 ", L""},
        {L"/ignore", 12, 0x10, 0, 0, 7, 9, L"I 0 gnore", L""},
        {L"/!i=*report*]", 12, 0x10, 0, 0, 7, 9, L"I 1 *report*]", L""},
        {L"/[S1K]", 10, 0x10, 0, 0, 7, 9, L"S 0 1024 18446744073709551615", L""},
        {L"/[X]", -10, 0x10, 0, 0, 7, 9, L"", L"Unknown range type: \"/[X]\"\r\n"},
    };
    for (const Row& row : rows) {
        Selection s;
        Captured c;
        EXPECT_EQ(s.Parse(row.arg, &c), row.result) << Narrow(row.arg);
        EXPECT_EQ(s.mask, row.mask) << Narrow(row.arg);
        EXPECT_EQ(s.value, row.value) << Narrow(row.arg);
        EXPECT_EQ(s.flags, CommandFlags | row.addedFlags) << Narrow(row.arg);
        EXPECT_EQ(s.minDepth, row.minDepth) << Narrow(row.arg);
        EXPECT_EQ(s.maxDepth, row.maxDepth) << Narrow(row.arg);
        EXPECT_EQ(DescribeAll(s.ranges.head), row.nodes) << Narrow(row.arg);
        EXPECT_EQ(c.err, *row.message ? Prefixed(row.message) : L"") << Narrow(row.arg);
    }
}

TEST(ParseFileSelectionOption, EveryAttributeOptionStartsAgain) {
    Selection s;
    s.Parse(L"/A:H");
    s.Parse(L"/A:S");
    EXPECT_EQ(s.mask, 0x14u);
    EXPECT_EQ(s.value, 0x4u);
    uint32_t v = 0;
    EXPECT_EQ(ParseFileSelectionOption(nullptr, &v, &v, &v, nullptr, nullptr, nullptr), -1);
}

// Day numbers worked out by hand: whole years of 365 days plus the leap days
// before them, then the days of the year.
TEST(DayNumber, CountsFromTheFirstOfJanuary1601) {
    struct Row {
        uint32_t y, m, d, day, weekday;
    } rows[] = {
        {1601, 1, 1, 1, 1},          {1601, 12, 31, 365, 1},       {1604, 3, 1, 1156, 1},
        {1700, 3, 1, 36219, 1},      {2000, 2, 29, 145791, 2},     {2000, 3, 1, 145792, 3},
        {2024, 1, 1, 154498, 1},     {2026, 12, 7, 155569, 1},     {9999, 12, 31, 3067671, 5},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(DayNumber(r.y, r.m, r.d), r.day) << r.y << "-" << r.m << "-" << r.d;
        EXPECT_EQ(DayNumber(r.y, r.m, r.d) % 7, r.weekday) << r.y << "-" << r.m << "-" << r.d;
    }
}

constexpr const wchar_t* Max64 = L"18446744073709551615";

TEST(ParseRangeOption, BuildsTheNodeOrReportsTheFault) {
    const std::wstring anyDay = std::to_wstring(0xFFFFFFFFu);
    struct Row {
        const wchar_t* arg;
        int result;
        std::wstring nodes;  // newest first
        const wchar_t* message;
    } rows[] = {
        // sizes
        {L"/[S1K]", 0, L"S 0 1024 " + std::wstring(Max64), L""},
        {L"/[S,100]", 0, L"S 0 0 100", L""},
        {L"/[S100,+50]", 0, L"S 0 100 150", L""},
        {L"/[S100+50]", 0, L"S 0 100 150", L""},
        {L"/[S+50]", 0, L"S 0 0 50", L""},
        {L"/[S200,100]", 0, L"S 0 100 200", L""},
        {L"/![S0,0]", 0, L"S 1 0 0", L""},
        {L"/[S:1k,1K]", 0, L"S 0 1000 1024", L""},
        {L"/[S=2m,3M]", 0, L"S 0 2000000 3145728", L""},
        {L"/[S1g,1G]", 0, L"S 0 1000000000 1073741824", L""},
        {L"/[S1p,1P]", 0, L"S 0 1000000000000000 1125899906842624", L""},
        {L"/[S16777215T]", 0, L"S 0 18446742974197923840 " + std::wstring(Max64), L""},
        {L"/[s:]", 0, L"", L""},
        {L"/[S,]", 0, L"S 0 0 " + std::wstring(Max64), L""},
        {L"/[S1KB]", 1, L"", L"Bad size range: \"1KB]\"\r\n"},
        {L"/[S16777216T]", 1, L"", L"Bad size range: \"16777216T]\"\r\n"},
        {L"/[S18446744073709551616]", 1, L"", L"Bad size range: \"18446744073709551616]\"\r\n"},
        {L"/[S1,+18446744073709551615]", 1, L"", L"Bad size range: \"1,+18446744073709551615]\"\r\n"},
        // times of day
        {L"/[T12:00,12:00]", 0, L"T 0 0 43200 43259", L""},
        {L"/[T12:00:00,12:00:00]", 0, L"T 0 0 43200 43200", L""},
        {L"/[T1:00pm,2:00pm]", 0, L"T 0 0 46800 50459", L""},
        {L"/[T12:00am,12:30AM]", 0, L"T 0 0 0 1859", L""},
        {L"/[TC:8:00pm,11:00pm]", 0, L"T 0 2 72000 82859", L""},
        {L"/![ta=10:00,10:00:30]", 0, L"T 1 1 36000 36030", L""},
        {L"/[T9.30.15,9.30.16]", 0, L"T 0 0 34215 34216", L""},
        {L"/[T22:00,02:00]", 0, L"T 0 0 7200 79259", L""},
        {L"/[T23:59:59,23:59]", 0, L"T 0 0 86340 86399", L""},
        {L"/[T10:00,+30]", 0, L"T 0 0 36000 37859", L""},
        {L"/[T10:00,-30]", 0, L"T 0 0 35970 36059", L""},
        {L"/[T]", 0, L"", L""},
        {L"/[T13:00pm]", 1, L"", L"Bad time range: \"13:00PM]\"\r\n"},
        {L"/[T0:00am]", 1, L"", L"Bad time range: \"0:00AM]\"\r\n"},
        {L"/[T24:00,1:00]", 1, L"", L"Bad time range: \"24:00,1:00]\"\r\n"},
        {L"/[T23:60]", 1, L"", L"Bad time range: \"23:60]\"\r\n"},
        {L"/[T1:00:60]", 1, L"", L"Bad time range: \"1:00:60]\"\r\n"},
        {L"/[T1:00,2:00x]", 1, L"", L"Bad time range: \"1:00,2:00X]\"\r\n"},
        // dates: all of January 2024; one day's office hours; leap days
        {L"/[D2024-01-01,2024-01-31]", 0, L"D 0 0 154498 154528 0 " + anyDay, L""},
        {L"/[DA:2024-03-01@08:00,2024/3/1@17:30]", 0, L"D 0 1 154558 154558 28800 63059", L""},
        {L"/![DC=2000.2.29,2000.2.29@0:0:1]", 0, L"D 1 2 145791 145791 0 1", L""},
        {L"/[D1601-01-01,9999-12-31]", 0, L"D 0 0 1 3067671 0 " + anyDay, L""},
        {L"/[D2024-01-01,+30]", 0, L"D 0 0 154498 154528 0 " + anyDay, L""},
        {L"/[D2024-01-31,-30]", 0, L"D 0 0 154498 154528 0 " + anyDay, L""},
        // written backwards: each time stays with its own date
        {L"/[D2024-03-05@17:00,2024-03-01@08:00]", 0, L"D 0 0 154558 154562 28800 61259", L""},
        {L"/[D2024-03-01@17:00,2024-03-01@08:00]", 0, L"D 0 0 154558 154558 28800 61259", L""},
        {L"/[D2024-03-01,2024-03-01@08:00]", 0, L"D 0 0 154558 154558 0 28859", L""},
        {L"/[D2024-03-01@08:00,2024-03-01]", 0, L"D 0 0 154558 154558 28800 " + anyDay, L""},
        {L"/[D]", 0, L"", L""},
        {L"/[D2024-02-30]", 1, L"", L"Bad date1 in range: \"2024-02-30]\"\r\n"},
        {L"/[D1900-02-29,1900-03-01]", 1, L"", L"Bad date1 in range: \"1900-02-29,1900-03-01]\"\r\n"},
        {L"/[D1600-12-31]", 1, L"", L"Bad date1 in range: \"1600-12-31]\"\r\n"},
        {L"/[D10000-01-01]", 1, L"", L"Bad date1 in range: \"10000-01-01]\"\r\n"},
        {L"/[D2024-1-]", 1, L"", L"Bad date1 in range: \"2024-1-]\"\r\n"},
        {L"/[D2024-01-01@25:00]", 1, L"", L"Bad date1 (time) in range: \"2024-01-01@25:00]\"\r\n"},
        {L"/[D2024-01-01,2024-13-01]", 1, L"", L"Bad date2 in range: \"2024-01-01,2024-13-01]\"\r\n"},
        {L"/[D2024-01-01,2024-01-02@9]", 1, L"", L"Bad date2 (time) in range: \"2024-01-01,2024-01-02@9]\"\r\n"},
        {L"/[D2024-01-01 ]", 1, L"", L"Bad date range: \"2024-01-01 ]\"\r\n"},
        {L"/[D-1@12:00]", 1, L"", L"Bad date range: \"-1@12:00]\"\r\n"},
        // days of the week
        {L"/[W:Mon-Fri]", 0, L"W 0 0x3E", L""},
        {L"/[W:weekdays]", 0, L"W 0 0x3E", L""},
        {L"/[W:Sa,Su]", 0, L"W 0 0x41", L""},
        {L"/![W:weekend]", 0, L"W 0 0x3E", L""},
        {L"/[W:Fr..Mo]", 0, L"W 0 0x63", L""},
        {L"/[W:Mon-Mon]", 0, L"W 0 0x02", L""},
        {L"/[WC:1]", 0, L"W 2 0x02", L""},
        {L"/[Wa=7;monday, TUESDAY,,wed]", 0, L"W 1 0x0F", L""},
        {L"/[W:Moxx]", 0, L"W 0 0x02", L""},
        {L"/[W]", 0, L"", L""},
        {L"/[W:]", 1, L"", L"Bad day-of-the-week range: \":]\"\r\n"},
        {L"/[W:,;]", 1, L"", L"Bad day-of-the-week range: \":,;]\"\r\n"},
        {L"/[WMon]", 1, L"", L"Bad day-of-the-week range: \"MON]\"\r\n"},
        {L"/[W:Mon - Fri]", 1, L"", L"Bad day-of-the-week range: \":MON - FRI]\"\r\n"},
        {L"/[W:M]", 1, L"", L"Bad day-of-the-week range: \":M]\"\r\n"},
        {L"/[W:8]", 1, L"", L"Bad day-of-the-week range: \":8]\"\r\n"},
        {L"/[W:weekday-Fri]", 1, L"", L"Bad day-of-the-week range: \":WEEKDAY-FRI]\"\r\n"},
        {L"/[W:Mon-weekend]", 1, L"", L"Bad day-of-the-week range: \":MON-WEEKEND]\"\r\n"},
        {L"/[W:Mon-Fri-Sat]", 1, L"", L"Bad day-of-the-week range: \":MON-FRI-SAT]\"\r\n"},
        {L"/[W:Mon.Fri]", 1, L"", L"Bad day-of-the-week range: \":MON.FRI]\"\r\n"},
        {L"/![W:weekday,weekend]", 1, L"", L"Empty day-of-the-week range: \":WEEKDAY,WEEKEND]\"\r\n"},
        // exclusions: one node per word, newest first; quotes group blanks
        {L"/[!*.bak *.tmp]", 0, L"! *.tmp | ! *.bak", L""},
        {L"/[!\"my file.txt\"  a]b ]", 0, L"! a]b | ! my file.txt", L""},
        {L"/[!]", 0, L"", L""},
        {L"/[! ]", 0, L"", L""},
        {L"/[!\" \"]", 0, L"", L""},
        // description and owner texts: blanks kept, the closing "]" dropped
        {L"/[I:*monthly report*]", 0, L"I 0 *monthly report*", L""},
        {L"/![O=DOMAIN\\x]", 0, L"O 1 DOMAIN\\x", L""},
        {L"/[I:]", 0, L"I 0 ", L""},
        {L"/[I]", 0, L"", L""},
        // the dispatcher
        {L"/[S1K", 1, L"", L"Range option must end with ']': \"/[S1K\"\r\n"},
        {L"/[", 1, L"", L"Range option must end with ']': \"/[\"\r\n"},
        {L"/![!x]", 1, L"", L"Reverse exclusion range not supported: \"/![!X]\"\r\n"},
        {L"/[q]", 1, L"", L"Unknown range type: \"/[Q]\"\r\n"},
        {L"/[]", 1, L"", L"Unknown range type: \"/[]\"\r\n"},
    };
    for (const Row& row : rows) {
        RangeList list;
        std::wstring arg = row.arg;
        Captured c = CaptureOutput([&] { return ParseRangeOption(arg.data(), &list.head); });
        EXPECT_EQ(c.result, row.result) << Narrow(row.arg);
        EXPECT_EQ(DescribeAll(list.head), row.nodes) << Narrow(row.arg);
        EXPECT_EQ(c.err, *row.message ? Prefixed(row.message) : L"") << Narrow(row.arg);
    }
}

TEST(ParseRangeOption, AWordBeyond8191CharactersIsCut) {
    RangeList list;
    std::wstring arg = L"/[!" + std::wstring(9000, L'a') + L" b]";
    EXPECT_EQ(ParseRangeOption(arg.data(), &list.head), 0);
    ASSERT_EQ(list.Count(), 2u);
    EXPECT_EQ(wcslen(static_cast<ExclusionRange*>(list.head->next)->pattern), 8191u);
}

// Ranges relative to the clock: read it around the parse and retry when the
// minute turned meanwhile.
TEST(ParseRangeOption, RelativeRangesUseTheClockOfTheParse) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        SYSTEMTIME before, after;
        GetLocalTime(&before);
        RangeList time, back, week, since;
        std::wstring a = L"/[T:]", b = L"/[T-30]", c = L"/[D-7,-14]", d = L"/[D,2000-01-01]";
        ParseRangeOption(a.data(), &time.head);
        ParseRangeOption(b.data(), &back.head);
        ParseRangeOption(c.data(), &week.head);
        ParseRangeOption(d.data(), &since.head);
        GetLocalTime(&after);
        if (before.wMinute != after.wMinute || before.wDay != after.wDay) continue;
        uint32_t minute = before.wHour * 3600u + before.wMinute * 60u;
        uint32_t today = DayNumber(before.wYear, before.wMonth, before.wDay);
        auto s = [](uint64_t v) { return std::to_wstring(v); };
        EXPECT_EQ(DescribeAll(time.head), L"T 0 0 " + s(minute) + L" " + s(minute + 59));
        EXPECT_EQ(DescribeAll(back.head), L"T 0 0 " + s(minute >= 30 ? minute - 30 : 0) + L" " + s(minute + 59));
        EXPECT_EQ(DescribeAll(week.head), L"D 0 0 " + s(today - 21) + L" " + s(today - 7) + L" 0 4294967295");
        EXPECT_EQ(DescribeAll(since.head), L"D 0 0 145732 " + s(today) + L" 0 4294967295");
        return;
    }
    FAIL() << "the clock kept turning over";
}

// ---- matching -----------------------------------------------------------

FILETIME LocalToFileTime(WORD y, WORD mo, WORD d, WORD h, WORD mi, WORD s) {
    SYSTEMTIME st{y, mo, 0, d, h, mi, s, 0};
    FILETIME local{}, utc{};
    SystemTimeToFileTime(&st, &local);
    LocalFileTimeToFileTime(&local, &utc);
    return utc;
}

WIN32_FIND_DATAW Entry(const wchar_t* name, uint64_t size = 1) {
    WIN32_FIND_DATAW e{};
    wcscpy(e.cFileName, name);
    e.nFileSizeHigh = static_cast<DWORD>(size >> 32);
    e.nFileSizeLow = static_cast<DWORD>(size);
    e.ftCreationTime = e.ftLastAccessTime = e.ftLastWriteTime = LocalToFileTime(2020, 6, 15, 12, 0, 0);
    return e;
}

int Match(std::initializer_list<const wchar_t*> options, const WIN32_FIND_DATAW& entry, const wchar_t* dir = L"") {
    RangeList list;
    for (const wchar_t* option : options) {
        std::wstring arg = option;
        if (ParseRangeOption(arg.data(), &list.head) != 0) return -99;
    }
    return MatchRanges(&entry, dir, list.head);
}

TEST(MatchRanges, JudgesEveryKindOfRange) {
    auto at = [](WORD y, WORD mo, WORD d, WORD h, WORD mi, WORD s) {
        WIN32_FIND_DATAW e = Entry(L"x.dat");
        e.ftLastWriteTime = LocalToFileTime(y, mo, d, h, mi, s);
        return e;
    };
    struct Row {
        const wchar_t* option;
        WIN32_FIND_DATAW entry;
        int result;
    } rows[] = {
        {L"/[S1k,1K]", Entry(L"a", 999), 1},
        {L"/[S1k,1K]", Entry(L"a", 1000), 0},
        {L"/[S1k,1K]", Entry(L"a", 1024), 0},
        {L"/[S1k,1K]", Entry(L"a", 1025), 1},
        {L"/[S4G]", Entry(L"a", 1ull << 32), 0},
        {L"/[S4G]", Entry(L"a", 0xFFFFFFFFull), 1},
        {L"/![S0,0]", Entry(L"a", 0), 1},
        {L"/[T12:00,12:00]", at(2020, 6, 15, 12, 0, 59), 0},
        {L"/[T12:00,12:00]", at(2020, 6, 15, 12, 1, 0), 1},
        {L"/[T12:00,12:00]", at(2020, 6, 15, 11, 59, 59), 1},
        {L"/![T12:00,12:00]", at(2020, 6, 15, 11, 59, 59), 0},
        {L"/[D2024-01-01,2024-01-31]", at(2024, 1, 31, 23, 59, 59), 0},
        {L"/[D2024-01-01,2024-01-31]", at(2024, 2, 1, 0, 0, 0), 1},
        {L"/[D2024-01-01,2024-01-31]", at(2023, 12, 31, 23, 59, 59), 1},
        {L"/[D2024-03-01@08:00,2024-03-01@17:30]", at(2024, 3, 1, 17, 30, 59), 0},
        {L"/[D2024-03-01@08:00,2024-03-01@17:30]", at(2024, 3, 1, 7, 59, 59), 1},
        {L"/[W:Mon]", at(2024, 1, 1, 10, 0, 0), 0},
        {L"/[W:Mon]", at(2024, 1, 2, 10, 0, 0), 1},
        {L"/[!*.bak]", Entry(L"x.BAK"), 1},
        {L"/[!*.bak]", Entry(L"x.txt"), 0},
    };
    for (const Row& row : rows) EXPECT_EQ(Match({row.option}, row.entry), row.result) << Narrow(row.option);
}

TEST(MatchRanges, TestsTheChosenStampAndNeedsEveryNodeToPass) {
    WIN32_FIND_DATAW e = Entry(L"x.dat", 2048);
    e.ftLastWriteTime = LocalToFileTime(2024, 3, 1, 9, 0, 0);
    e.ftCreationTime = LocalToFileTime(2023, 3, 1, 9, 0, 0);
    e.ftLastAccessTime = LocalToFileTime(2022, 3, 1, 9, 0, 0);
    EXPECT_EQ(Match({L"/[D2024-03-01,2024-03-01]"}, e), 0);
    EXPECT_EQ(Match({L"/[DC2024-03-01,2024-03-01]"}, e), 1);
    EXPECT_EQ(Match({L"/[DC2023-03-01,2023-03-01]"}, e), 0);
    EXPECT_EQ(Match({L"/[TA:9:00,9:00]", L"/[WA:Tue]"}, e), 0);  // 2022-03-01 was a Tuesday
    EXPECT_EQ(Match({L"/[S1K]", L"/[D2024-03-01,2024-03-01]"}, e), 0);
    EXPECT_EQ(Match({L"/[S1K]", L"/[D2024-03-02,2024-03-02]"}, e), 1);
    EXPECT_EQ(Match({L"/[S4K]", L"/[D2024-03-01,2024-03-01]"}, e), 1);
    EXPECT_EQ(MatchRanges(nullptr, L"", nullptr), -1);
    EXPECT_EQ(MatchRanges(&e, nullptr, nullptr), -1);
    EXPECT_EQ(MatchRanges(&e, L"", nullptr), 0);
}

TEST(MatchRanges, ReadsDescriptionsAndOwners) {
    TempTree tree;
    for (const wchar_t* name : {L"a.txt", L"b.txt", L"%PATH%.txt", L"none.txt"}) tree.File(name);
    tree.File(L"descript.ion", "a.txt monthly report\r\nb.txt notes\r\n\"%PATH%.txt\" sale report\r\n");
    std::wstring dir = tree.root + L"\\";
    // Each Match is a run of its own: its lookups share one null device for
    // the host's standard error, and standard error is back after them.
    const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    EXPECT_EQ(Match({L"/[I:*report*]"}, Entry(L"a.txt"), dir.c_str()), 0);
    EXPECT_EQ(Match({L"/[I:*report*]"}, Entry(L"b.txt"), dir.c_str()), 1);
    EXPECT_EQ(Match({L"/[I:*report*]"}, Entry(L"%PATH%.txt"), dir.c_str()), 0);
    EXPECT_EQ(Match({L"/![I:*report*]"}, Entry(L"a.txt"), dir.c_str()), 1);
    EXPECT_EQ(Match({L"/[I:]"}, Entry(L"none.txt"), dir.c_str()), 0);        // no description: empty text
    EXPECT_EQ(Match({L"/[I:]"}, Entry(L"missing.txt"), dir.c_str()), 0);     // no file: empty text
    EXPECT_EQ(Match({L"/[I:*]"}, Entry(L"a.txt"), (tree.root).c_str()), 0);  // directory without separator
    EXPECT_EQ(GetStdHandle(STD_ERROR_HANDLE), error);

    std::vector<wchar_t> owner(16385);
    FileOwner(tree.Path(L"a.txt").c_str(), owner.data());
    std::wstring text = owner.data();
    size_t slash = text.find(L'\\');
    ASSERT_TRUE(slash != std::wstring::npos && slash > 0 && slash + 1 < text.size()) << Narrow(text);
    std::wstring own = L"/[O:" + text + L"]", account = L"/[O:*\\" + text.substr(slash + 1) + L"]";
    EXPECT_EQ(Match({own.c_str()}, Entry(L"a.txt"), dir.c_str()), 0);
    EXPECT_EQ(Match({account.c_str()}, Entry(L"a.txt"), dir.c_str()), 0);
    EXPECT_EQ(Match({L"/[O:NOBODY\\nobody]"}, Entry(L"a.txt"), dir.c_str()), 1);
    EXPECT_EQ(Match({L"/![O:NOBODY\\nobody]"}, Entry(L"a.txt"), dir.c_str()), 0);
    FileOwner(tree.Path(L"missing.txt").c_str(), owner.data());
    EXPECT_EQ(owner[0], L'\0');
}

// What the host is asked (recorded by the stand-in): "%@descript[name]" for a
// name that form carries; a name with a bracket, "%" or a blank in double
// quotes with "%" doubled. Each name gets its own description.
TEST(MatchRanges, DescriptionQueriesQuoteOnlyNamesThatNeedIt) {
    TempTree tree;
    const struct {
        std::wstring name;
        bool plain;
    } files[] = {
        {L"a.txt", true},         {L"caf\u00e9.txt", true}, {L"x&^(){}!#$@'`~,;=+.txt", true},
        {L"a]b", false},          {L"[x", false},           {L"x[1].txt", false},
        {L"50%.txt", false},      {L"two words", false},
    };
    std::string lines;
    for (size_t i = 0; i < std::size(files); ++i) {
        tree.File(files[i].name);
        std::string n = Narrow(files[i].name);
        lines += (files[i].name.find(L' ') == std::wstring::npos ? n : "\"" + n + "\"") + " d" + std::to_string(i) + "\r\n";
    }
    tree.File(L"descript.ion", lines);
    std::vector<wchar_t> sent(8192), text(8192);
    HostRecordExpansions(sent.data(), sent.size());
    for (size_t i = 0; i < std::size(files); ++i) {
        std::wstring full = tree.Path(files[i].name), doubled;
        for (wchar_t c : full) doubled += c == L'%' ? L"%%" : std::wstring(1, c);
        sent[0] = L'\0';
        FileDescription(full.c_str(), text.data());
        EXPECT_EQ(std::wstring(sent.data()),
                  files[i].plain ? L"%@descript[" + full + L"]" : L"%@descript[\"" + doubled + L"\"]");
        EXPECT_EQ(std::wstring(text.data()), L"d" + std::to_wstring(i));
    }
    HostRecordExpansions(nullptr, 0);
}

}  // namespace
