// The per-file test of the range list, the description and owner lookups it
// needs, and the release of the list.
#include "filesel/FileSel.h"
#include "filesel/FileSelInternal.h"
#include "plugin/HostServices.h"
#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace {

constexpr size_t ExpandCapacity = 8192;   // a host expansion: 8191 units and the terminator
constexpr size_t AccountCapacity = 8192;  // each of the account name and domain

const FILETIME& StampTime(const WIN32_FIND_DATAW* entry, uint16_t stamp) {
    switch (stamp) {
    case Access: return entry->ftLastAccessTime;
    case Creation: return entry->ftCreationTime;
    default: return entry->ftLastWriteTime;
    }
}

// The chosen stamp in local time: day number and seconds of the day.
bool LocalStamp(const WIN32_FIND_DATAW* entry, uint16_t stamp, uint32_t* day, uint32_t* second) {
    FILETIME local;
    SYSTEMTIME st;
    if (!FileTimeToLocalFileTime(&StampTime(entry, stamp), &local) || !FileTimeToSystemTime(&local, &st)) return false;
    *day = DayNumber(st.wYear, st.wMonth, st.wDay);
    *second = st.wHour * 3600u + st.wMinute * 60u + st.wSecond;
    return true;
}

// Scratch space of the text lookups; matching runs on one thread and never
// nests, so one set serves every call.
struct Scratch {
    wchar_t FullName[PathCapacity];
    wchar_t Text[2 * AccountCapacity + 1];  // domain, "\", name
};
Scratch TheScratch;

// The directory and the found name as one full name; false when too long.
bool FullName(const wchar_t* directory, const wchar_t* name, wchar_t* out) {
    size_t length = wcslen(directory);
    if (length >= PathCapacity) return false;
    std::memcpy(out, directory, (length + 1) * sizeof(wchar_t));
    return JoinPath(out, name) == 0;
}

// The null device that takes the host's standard error during a description
// lookup. Opening it costs more than the lookup itself (two round trips to
// the Wine server per file in a walk), so it is opened at the first lookup
// and closed with the run's range list; only the redirection is per lookup.
HANDLE DescriptionSink = INVALID_HANDLE_VALUE;

}  // namespace

void FileDescription(const wchar_t* fullName, wchar_t* description) {
    description[0] = L'\0';
    if (!fullName || !fullName[0] || !QueryIsFileOrDirectory(fullName)) return;
    // The query is "%@descript[name]". A name that form cannot carry goes in
    // double quotes instead: "[" and "]" would nest or end the function, the
    // host expands a "%" in the argument (so it is doubled), and the host takes
    // a file name with blanks only in quotes. A name never holds a quote.
    const bool quoted = wcspbrk(fullName, L"[]% ") != nullptr;
    const wchar_t* open = quoted ? L"%@descript[\"" : L"%@descript[";
    const wchar_t* close = quoted ? L"\"]" : L"]";
    const size_t closeLength = wcslen(close);
    size_t n = wcslen(open);
    std::memcpy(description, open, n * sizeof(wchar_t));
    for (const wchar_t* p = fullName; *p; ++p) {
        if (n + (*p == L'%' ? 2 : 1) + closeLength >= ExpandCapacity) {  // no room for the name and the close
            description[0] = L'\0';
            return;
        }
        if (*p == L'%') description[n++] = L'%';
        description[n++] = *p;
    }
    std::memcpy(description + n, close, (closeLength + 1) * sizeof(wchar_t));
    // The host may report trouble on standard error; a filter must stay quiet.
    if (DescriptionSink == INVALID_HANDLE_VALUE)
        DescriptionSink =
            CreateFileW(L"nul", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr);
    const HANDLE nul = DescriptionSink;
    HANDLE previous = GetStdHandle(STD_ERROR_HANDLE);
    if (nul != INVALID_HANDLE_VALUE) SetStdHandle(STD_ERROR_HANDLE, nul);
    int rc = ExpandVariables(description, 1);
    if (nul != INVALID_HANDLE_VALUE) SetStdHandle(STD_ERROR_HANDLE, previous);
    if (rc != 0) description[0] = L'\0';
}

void FileOwner(const wchar_t* fullName, wchar_t* owner) {
    owner[0] = L'\0';
    DWORD needed = 0;
    GetFileSecurityW(fullName, OWNER_SECURITY_INFORMATION, nullptr, 0, &needed);
    if (needed == 0) return;
    void* descriptor = std::malloc(needed);
    if (!descriptor) return;
    PSID sid = nullptr;
    BOOL defaulted = FALSE;
    static wchar_t name[AccountCapacity], domain[AccountCapacity];
    DWORD nameLength = AccountCapacity, domainLength = AccountCapacity;
    SID_NAME_USE use;
    if (GetFileSecurityW(fullName, OWNER_SECURITY_INFORMATION, descriptor, needed, &needed) &&
        GetSecurityDescriptorOwner(descriptor, &sid, &defaulted) && sid &&
        LookupAccountSidW(nullptr, sid, name, &nameLength, domain, &domainLength, &use) && name[0] && domain[0]) {
        size_t d = wcslen(domain), a = wcslen(name);
        std::memcpy(owner, domain, d * sizeof(wchar_t));
        owner[d] = L'\\';
        std::memcpy(owner + d + 1, name, (a + 1) * sizeof(wchar_t));
    }
    std::free(descriptor);
}

int MatchRanges(const WIN32_FIND_DATAW* entry, const wchar_t* directory, Range* ranges) {
    if (!entry || !directory) return -1;
    for (const Range* node = ranges; node; node = node->next) {
        bool pass = false;
        uint32_t day = 0, second = 0;
        switch (node->type) {
        case L'S': {
            auto* r = static_cast<const SizeRange*>(node);
            uint64_t size = (static_cast<uint64_t>(entry->nFileSizeHigh) << 32) | entry->nFileSizeLow;
            pass = (r->minSize <= size && size <= r->maxSize) != (r->reverse != 0);
            break;
        }
        case L'T': {
            auto* r = static_cast<const TimeRange*>(node);
            bool inside = LocalStamp(entry, r->stamp, &day, &second) && r->startSecond <= second &&
                          second <= r->endSecond;
            pass = inside != (r->reverse != 0);
            break;
        }
        case L'D': {
            auto* r = static_cast<const DateRange*>(node);
            bool inside = LocalStamp(entry, r->stamp, &day, &second) &&
                          (day > r->startDay || (day == r->startDay && second >= r->startSecond)) &&
                          (day < r->endDay || (day == r->endDay && second <= r->endSecond));
            pass = inside != (r->reverse != 0);
            break;
        }
        case L'W': {
            auto* r = static_cast<const DowRange*>(node);
            pass = LocalStamp(entry, r->stamp, &day, &second) && (r->days & (1u << (day % 7)));
            break;
        }
        case L'!':
            pass = WildcardComparison(static_cast<const ExclusionRange*>(node)->pattern, entry->cFileName, 1, 1) != 0;
            break;
        case L'I':
        case L'O': {
            Scratch* s = &TheScratch;
            s->Text[0] = L'\0';
            if (FullName(directory, entry->cFileName, s->FullName)) {
                if (node->type == L'I') FileDescription(s->FullName, s->Text);
                else FileOwner(s->FullName, s->Text);
            }
            const wchar_t* pattern = node->type == L'I' ? static_cast<const DescriptionRange*>(node)->pattern
                                                        : static_cast<const OwnerRange*>(node)->pattern;
            int reverse = node->type == L'I' ? static_cast<const DescriptionRange*>(node)->reverse
                                             : static_cast<const OwnerRange*>(node)->reverse;
            pass = (WildcardComparison(pattern, s->Text, 0, 1) == 0) != (reverse != 0);
            break;
        }
        default:
            return 1;  // an unknown node cannot be judged: drop rather than pass what was excluded
        }
        if (!pass) return 1;
    }
    return 0;
}

void FreeRanges(Range* list) {
    // The lookups of this run are over.
    if (DescriptionSink != INVALID_HANDLE_VALUE) {
        CloseHandle(DescriptionSink);
        DescriptionSink = INVALID_HANDLE_VALUE;
    }
    while (list) {
        Range* next = list->next;
        std::free(list);
        list = next;
    }
}
