// Variable expansion of the stand-in host: environment variables, a handful of
// internal variables and the "%@" functions the plug-in asks for.
#include "plugin/HostServices.h"
#include "HostApi.h"
#include "HostInternal.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace host {
namespace {

constexpr size_t ExpandCapacity = 8192;  // 8191 units and the terminator
constexpr size_t EnvCapacity = 32768;

// Output text under construction; never grows past ExpandCapacity - 1.
struct Text {
    wchar_t* data = nullptr;
    size_t length = 0;
    bool overflow = false;

    Text() : data(static_cast<wchar_t*>(malloc(ExpandCapacity * sizeof(wchar_t)))) {
        if (data) data[0] = L'\0';
    }
    ~Text() { free(data); }
    Text(const Text&) = delete;
    Text& operator=(const Text&) = delete;

    void Append(const wchar_t* s, size_t n) {
        if (overflow) return;
        if (n > ExpandCapacity - 1 - length) {
            overflow = true;
            return;
        }
        memcpy(data + length, s, n * sizeof(wchar_t));
        length += n;
        data[length] = L'\0';
    }
    void Append(const wchar_t* s) { Append(s, wcslen(s)); }
    void Append(wchar_t ch) { Append(&ch, 1); }
};

// A heap block freed on every path.
struct HeapText {
    wchar_t* data;
    explicit HeapText(size_t units) : data(static_cast<wchar_t*>(malloc(units * sizeof(wchar_t)))) {
        if (data) data[0] = L'\0';
    }
    ~HeapText() { free(data); }
    HeapText(const HeapText&) = delete;
    HeapText& operator=(const HeapText&) = delete;
};

bool SameText(const wchar_t* a, size_t an, const wchar_t* b) {
    return CompareStringOrdinal(a, static_cast<int>(an), b, -1, TRUE) == CSTR_EQUAL;
}

// Settings read from the environment, with their defaults.
struct Internal {
    const wchar_t* name;
    const wchar_t* setting;
    const wchar_t* fallback;
};
const Internal InternalVariables[] = {
    {L"_4ver", L"BYTORA_HOST_VERSION", L"28.01"},
    {L"_build", L"BYTORA_HOST_BUILD", L"62"},
    {L"_transient", L"BYTORA_HOST_TRANSIENT", L"1"},
    {L"_pipe", L"BYTORA_HOST_PIPE", L"0"},
    {L"_batch", L"BYTORA_HOST_BATCH", L"0"},
    {L"_batchname", L"BYTORA_HOST_BATCHNAME", L""},
    {L"_batchline", L"BYTORA_HOST_BATCHLINE", L"0"},
};

const Internal* FindInternal(const wchar_t* name, size_t length) {
    for (const Internal& v : InternalVariables)
        if (SameText(name, length, v.name)) return &v;
    return nullptr;
}

// Appends the value of an internal variable or, failing that, of the
// environment variable; an undefined name adds nothing. Returns false when the
// name is too long to be a variable.
bool AppendVariable(Text& out, const wchar_t* name, size_t length) {
    HeapText value(EnvCapacity);
    if (!value.data) {
        out.overflow = true;
        return true;
    }
    if (const Internal* v = FindInternal(name, length)) {
        int n = ReadEnvironment(v->setting, value.data, EnvCapacity);
        out.Append(n > 0 ? value.data : v->fallback);
        return true;
    }
    if (length == 0 || length >= 256) return false;
    wchar_t key[256];
    memcpy(key, name, length * sizeof(wchar_t));
    key[length] = L'\0';
    if (ReadEnvironment(key, value.data, EnvCapacity) > 0) out.Append(value.data);
    return true;
}

bool IsNameChar(wchar_t c) {
    return c > L' ' && c != L'%' && c != L'[' && c != L']' && c != L'"' && c != L'<' && c != L'>' && c != L'|' &&
           c != L'&' && c != L'=';
}

bool IsInternalNameChar(wchar_t c) {
    return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') || c == L'_';
}

// Finds the bracket closing the one at open, allowing nested brackets.
// Brackets between double quotes are text (a quoted file name may hold them);
// when quotes leave the bracket unclosed, they are read as plain characters.
const wchar_t* FindClosingBracket(const wchar_t* open) {
    for (int pass = 0; pass < 2; ++pass) {
        bool quotes = pass == 0;
        int depth = 0;
        bool quoted = false;
        for (const wchar_t* p = open; *p; ++p) {
            if (quotes && *p == L'"') quoted = !quoted;
            else if (quoted) continue;
            else if (*p == L'[') ++depth;
            else if (*p == L']' && --depth == 0) return p;
        }
    }
    return nullptr;
}

void TrimArgument(const wchar_t*& s, size_t& n) {
    while (n > 0 && (*s == L' ' || *s == L'\t')) ++s, --n;
    while (n > 0 && (s[n - 1] == L' ' || s[n - 1] == L'\t')) --n;
}

// "1234567.89" in the user's locale: the integer digits grouped, the rest as
// typed. Returns false for anything that is not a plain number.
bool AppendComma(Text& out, const wchar_t* s, size_t n) {
    TrimArgument(s, n);
    size_t i = 0;
    if (i < n && (s[i] == L'-' || s[i] == L'+')) ++i;
    size_t digitsStart = i;
    while (i < n && s[i] >= L'0' && s[i] <= L'9') ++i;
    size_t digitsEnd = i;
    if (digitsEnd == digitsStart) return false;
    wchar_t decimal[8] = L".";
    GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, decimal, 8);
    if (i < n) {
        // A decimal part: the user's separator or a point, then digits only.
        size_t dl = wcslen(decimal);
        if (s[i] == L'.') ++i;
        else if (dl > 0 && i + dl <= n && wcsncmp(s + i, decimal, dl) == 0) i += dl;
        else return false;
        while (i < n && s[i] >= L'0' && s[i] <= L'9') ++i;
        if (i < n) return false;
    }
    wchar_t separator[8] = L",";
    if (GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_STHOUSAND, separator, 8) == 0) wcscpy(separator, L",");
    // Group sizes such as "3;0" or "3;2;0": the last non-zero size repeats.
    int groups[8] = {3};
    int groupCount = 1;
    wchar_t grouping[16];
    if (GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SGROUPING, grouping, 16) > 0) {
        groupCount = 0;
        for (const wchar_t* g = grouping; *g && groupCount < 8;) {
            int v = 0;
            while (*g >= L'0' && *g <= L'9') v = v * 10 + (*g++ - L'0');
            if (v > 0) groups[groupCount++] = v;
            else break;
            if (*g == L';') ++g;
            else break;
        }
        if (groupCount == 0) groups[groupCount++] = 1000000;  // "0": no grouping
    }
    // Mark where separators go, counting from the right.
    size_t count = digitsEnd - digitsStart;
    bool breakBefore[64] = {};
    if (count > 63) {
        out.Append(s, n);  // too long to be a count; leave it as it is
        return true;
    }
    size_t pos = count;
    int g = 0;
    while (true) {
        int size = groups[g < groupCount ? g : groupCount - 1];
        if (static_cast<size_t>(size) >= pos) break;
        pos -= size;
        breakBefore[pos] = true;
        ++g;
    }
    out.Append(s, digitsStart);
    for (size_t k = 0; k < count; ++k) {
        if (breakBefore[k]) out.Append(separator);
        out.Append(s[digitsStart + k]);
    }
    out.Append(s + digitsEnd, n - digitsEnd);
    return true;
}

// AppendDescription's working texts. A description filter asks once per file,
// and two 64 KiB blocks from the heap per call are, under Wine, given back to
// the system and faulted in afresh every time. Expansion runs on the command's
// thread only, and this step expands nothing further, so one pair serves.
struct DescriptionTexts {
    wchar_t data[EnvCapacity];
};
DescriptionTexts DescriptionName, DescriptionFull;

// The description of a file from descript.ion in its directory. The name may
// be quoted (it must be when it holds blanks or brackets).
bool AppendDescription(Text& out, const wchar_t* s, size_t n) {
    TrimArgument(s, n);
    if (n >= 2 && s[0] == L'"' && s[n - 1] == L'"') ++s, n -= 2;
    if (n == 0 || n >= EnvCapacity) return true;
    DescriptionTexts& name = DescriptionName;
    DescriptionTexts& full = DescriptionFull;
    memcpy(name.data, s, n * sizeof(wchar_t));
    name.data[n] = L'\0';
    wchar_t* filePart = nullptr;
    DWORD fl = GetFullPathNameW(name.data, EnvCapacity, full.data, &filePart);
    if (fl == 0 || fl >= EnvCapacity || !filePart || !*filePart) return true;
    wcscpy(name.data, filePart);
    static const wchar_t DescriptionFile[] = L"descript.ion";
    if (static_cast<size_t>(filePart - full.data) + wcslen(DescriptionFile) >= EnvCapacity) return true;
    wcscpy(filePart, DescriptionFile);
    const wchar_t* text;
    size_t length;
    if (!FindDescription(full.data, name.data, &text, &length)) return false;
    out.Append(text, length);
    return true;
}

bool Expand(const wchar_t* in, Text& out, int depth);

// Functions nest at most this deep; deeper text is refused, not expanded.
constexpr int MaxNesting = 16;

// "%@name[argument]": the argument is expanded first. Returns false for an
// unknown function or a bad argument.
bool AppendFunction(Text& out, const wchar_t* name, size_t nameLength, const wchar_t* arg, size_t argLength, int depth) {
    if (depth >= MaxNesting) return false;
    HeapText raw(argLength + 1);
    if (!raw.data) return false;
    memcpy(raw.data, arg, argLength * sizeof(wchar_t));
    raw.data[argLength] = L'\0';
    Text expanded;
    if (!expanded.data || !Expand(raw.data, expanded, depth + 1)) return false;
    if (expanded.overflow) {
        out.overflow = true;
        return true;
    }
    if (SameText(name, nameLength, L"comma")) return AppendComma(out, expanded.data, expanded.length);
    if (SameText(name, nameLength, L"descript")) return AppendDescription(out, expanded.data, expanded.length);
    if (SameText(name, nameLength, L"option")) {
        const wchar_t* s = expanded.data;
        size_t n = expanded.length;
        TrimArgument(s, n);
        if (SameText(s, n, L"utf8output")) out.Append(CurrentOutputMode() == OutputMode::Utf8 ? L"yes" : L"no");
        return true;
    }
    return false;
}

// Expands in into out; false when the text holds an unknown function or a
// bad argument. Overflow is marked in out.
bool Expand(const wchar_t* in, Text& out, int depth) {
    const wchar_t* p = in;
    while (*p && !out.overflow) {
        const wchar_t* percent = wcschr(p, L'%');
        if (!percent) {
            out.Append(p);
            break;
        }
        out.Append(p, static_cast<size_t>(percent - p));
        p = percent + 1;
        if (*p == L'%') {  // "%%" is a literal percent sign
            out.Append(L'%');
            ++p;
            continue;
        }
        if (*p == L'[') {
            const wchar_t* close = wcschr(p + 1, L']');
            if (close) {
                if (!AppendVariable(out, p + 1, static_cast<size_t>(close - p - 1))) {
                    out.Append(percent, static_cast<size_t>(close + 1 - percent));
                }
                p = close + 1;
                continue;
            }
            out.Append(L'%');
            continue;
        }
        if (*p == L'@') {
            const wchar_t* name = p + 1;
            const wchar_t* q = name;
            while (IsInternalNameChar(*q)) ++q;
            const wchar_t* close = *q == L'[' && q > name ? FindClosingBracket(q) : nullptr;
            if (close) {
                if (!AppendFunction(out, name, static_cast<size_t>(q - name), q + 1, static_cast<size_t>(close - q - 1), depth))
                    return false;
                p = close + 1;
                continue;
            }
            out.Append(L'%');
            continue;
        }
        // An internal variable ends at the first character outside a name
        // ("%_batchname [%_batchline]"); a closing "%" right after it is
        // taken along.
        const wchar_t* q = p;
        while (IsInternalNameChar(*q)) ++q;
        if (*p == L'_' && FindInternal(p, static_cast<size_t>(q - p))) {
            AppendVariable(out, p, static_cast<size_t>(q - p));
            p = *q == L'%' ? q + 1 : q;
            continue;
        }
        // "%NAME%"
        q = p;
        while (IsNameChar(*q)) ++q;
        if (*q == L'%' && q > p) {
            AppendVariable(out, p, static_cast<size_t>(q - p));
            p = q + 1;
            continue;
        }
        out.Append(L'%');  // a lone percent sign stays
    }
    return true;
}

}  // namespace
}  // namespace host

// Where HostRecordExpansions copies the texts to expand. Set and read on the
// command's thread only, as ExpandVariables runs there.
static wchar_t* Recording = nullptr;
static size_t RecordingCapacity = 0;

extern "C" void HostRecordExpansions(wchar_t* buffer, unsigned long long capacity) {
    Recording = capacity > 0 ? buffer : nullptr;
    RecordingCapacity = static_cast<size_t>(capacity);
}

extern "C" int ExpandVariables(wchar_t* buffer, int flag) {
    (void)flag;
    if (!buffer) return 1;
    if (Recording) {
        wcsncpy(Recording, buffer, RecordingCapacity - 1);
        Recording[RecordingCapacity - 1] = L'\0';
    }
    host::Text out;
    if (!out.data) return 1;
    if (!host::Expand(buffer, out, 0)) return 2;
    if (out.overflow) return 3;
    memcpy(buffer, out.data, (out.length + 1) * sizeof(wchar_t));
    return 0;
}
