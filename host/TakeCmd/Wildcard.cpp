// Wildcard matching of the stand-in host.
#include "plugin/HostServices.h"
#include "HostInternal.h"

#include <cwchar>

namespace host {

wchar_t FoldCase(wchar_t ch) {
    if (ch < 0x80) return ch >= L'a' && ch <= L'z' ? static_cast<wchar_t>(ch - 32) : ch;
    return static_cast<wchar_t>(reinterpret_cast<ULONG_PTR>(CharUpperW(reinterpret_cast<LPWSTR>(static_cast<ULONG_PTR>(ch)))));
}

namespace {

wchar_t Lower(wchar_t ch) {
    if (ch < 0x80) return ch >= L'A' && ch <= L'Z' ? static_cast<wchar_t>(ch + 32) : ch;
    return static_cast<wchar_t>(reinterpret_cast<ULONG_PTR>(CharLowerW(reinterpret_cast<LPWSTR>(static_cast<ULONG_PTR>(ch)))));
}

bool InRange(wchar_t c, wchar_t lo, wchar_t hi) { return lo <= c && c <= hi; }

// Tests one character against the set starting after "[". Returns the position
// after the closing "]", or nullptr when the set is unterminated (then "[" is an
// ordinary character).
const wchar_t* MatchSet(const wchar_t* p, wchar_t ch, bool& matched) {
    bool negate = *p == L'!' || *p == L'^';
    if (negate) ++p;
    wchar_t upper = FoldCase(ch), lower = Lower(ch);
    bool hit = false;
    bool first = true;
    // A "]" right after the opening (and negation) is a member, not the end.
    for (; *p && (first || *p != L']'); first = false) {
        wchar_t lo = *p++;
        wchar_t hi = lo;
        if (*p == L'-' && p[1] && p[1] != L']') {
            hi = p[1];
            p += 2;
        }
        if (InRange(ch, lo, hi) || InRange(upper, lo, hi) || InRange(lower, lo, hi) ||
            InRange(upper, FoldCase(lo), FoldCase(hi)))
            hit = true;
    }
    if (*p != L']') return nullptr;
    matched = hit != negate;
    return p + 1;
}

// Classic matching with one backtracking point: every token but "*" takes
// exactly one character, so on a mismatch only the most recent "*" needs to
// take one more character. Time is bounded by pattern length times name length.
bool Match(const wchar_t* pattern, size_t patternLength, const wchar_t* name) {
    const wchar_t* end = pattern + patternLength;
    const wchar_t* p = pattern;
    const wchar_t* n = name;
    const wchar_t* starP = nullptr;
    const wchar_t* starN = nullptr;
    while (*n) {
        bool ok = false;
        const wchar_t* next = p;
        if (p < end) {
            if (*p == L'*') {
                while (p < end && *p == L'*') ++p;
                if (p == end) return true;
                starP = p;
                starN = n;
                continue;
            }
            if (*p == L'?') {
                ok = true;
                next = p + 1;
            } else if (*p == L'[') {
                bool matched = false;
                const wchar_t* after = MatchSet(p + 1, *n, matched);
                if (after && after <= end) {
                    ok = matched;
                    next = after;
                } else {
                    ok = *n == L'[';
                    next = p + 1;
                }
            } else {
                ok = FoldCase(*p) == FoldCase(*n);
                next = p + 1;
            }
        }
        if (ok) {
            p = next;
            ++n;
        } else if (starP) {
            p = starP;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < end && *p == L'*') ++p;
    return p == end;
}

}  // namespace
}  // namespace host

// With file names, the shell's conventions hold as well: "name.*" also
// matches "name" (so "*.*" matches every name), and a pattern ending in a
// single "." matches names without an extension.
extern "C" int WildcardComparison(const wchar_t* pattern, const wchar_t* name, int fileNames, int flag) {
    (void)flag;
    if (!pattern || !name) return 1;
    size_t length = wcslen(pattern);
    if (host::Match(pattern, length, name)) return 0;
    if (fileNames && !wcschr(name, L'.')) {
        if (length >= 2 && pattern[length - 2] == L'.' && pattern[length - 1] == L'*' &&
            host::Match(pattern, length - 2, name))
            return 0;
        if (length >= 2 && pattern[length - 1] == L'.' && pattern[length - 2] != L'.' &&
            host::Match(pattern, length - 1, name))
            return 0;
    }
    return 1;
}
