// Where an address leads: a redirect's target resolved against the address
// it came from by the rules of RFC 3986 section 5, and the form of an
// address that is requested. The system's URL-combining call is no help
// here: it keeps dot segments, drops the last segment for a target that is
// only a query, and escapes the brackets of an IPv6 literal.
#include "net/Net.h"

#include <wininet.h>
#include <cwchar>
#include <cwctype>

namespace {

// A part of an address inside its text; an absent part has no start, an
// empty one (the query of "http://a/?") has a start and no length.
struct Part {
    const wchar_t* p = nullptr;
    size_t n = 0;
    bool Present() const { return p != nullptr; }
};

struct Parts {
    Part scheme, authority, path, query, fragment;
};

const wchar_t* Until(const wchar_t* p, const wchar_t* stops) {
    while (*p && !wcschr(stops, *p)) ++p;
    return p;
}

// A letter, then letters, digits, "+", "-" or ".".
bool IsScheme(const wchar_t* p, size_t n) {
    if (n == 0 || !iswalpha(p[0])) return false;
    for (size_t i = 1; i < n; ++i)
        if (!iswalnum(p[i]) && p[i] != L'+' && p[i] != L'-' && p[i] != L'.') return false;
    return true;
}

// The split of the RFC's appendix B: scheme ":", "//" authority, path,
// "?" query, "#" fragment. The path is always there, perhaps empty.
Parts Split(const wchar_t* text) {
    Parts parts;
    const wchar_t* p = text;
    const wchar_t* end = Until(p, L":/?#");
    if (*end == L':' && IsScheme(p, end - p)) {
        parts.scheme = {p, size_t(end - p)};
        p = end + 1;
    }
    if (p[0] == L'/' && p[1] == L'/') {
        end = Until(p + 2, L"/?#");
        parts.authority = {p + 2, size_t(end - p - 2)};
        p = end;
    }
    end = Until(p, L"?#");
    parts.path = {p, size_t(end - p)};
    p = end;
    if (*p == L'?') {
        end = Until(p + 1, L"#");
        parts.query = {p + 1, size_t(end - p - 1)};
        p = end;
    }
    if (*p == L'#') parts.fragment = {p + 1, wcslen(p + 1)};
    return parts;
}

bool SameNoCase(Part a, Part b) { return a.n == b.n && _wcsnicmp(a.p, b.p, a.n) == 0; }

// Appends to the target while it has room; one that would overflow is
// marked full and keeps what it had.
struct Writer {
    wchar_t* out;
    size_t units;
    size_t n = 0;
    bool full = false;
    void Put(const wchar_t* p, size_t k) {
        if (full || n + k >= units) {
            full = true;
            return;
        }
        wmemcpy(out + n, p, k);
        n += k;
    }
    void Put(Part part) { Put(part.p, part.n); }
    void Put(wchar_t ch) { Put(&ch, 1); }
};

// Writes a path without its "." and ".." segments, segment by segment: the
// RFC's section 5.2.4 told as what happens to each segment, so that a path
// merged from two texts is never written whole first.
struct PathWriter {
    Writer& w;
    size_t start;          // where the path begins in the target
    bool first = true;     // the next segment is the path's first
    bool leading = false;  // only dot segments so far, in a path without a leading "/"

    explicit PathWriter(Writer& writer) : w(writer), start(writer.n) {}

    // The segments of text, separated by "/"; last: its final segment ends the path.
    void Segments(Part text, bool last) {
        const wchar_t* p = text.p;
        const wchar_t* end = text.p + text.n;
        for (;;) {
            const wchar_t* q = p;
            while (q < end && *q != L'/') ++q;
            Segment(p, q - p, last && q == end);
            if (q == end) return;
            p = q + 1;
        }
    }

    void Segment(const wchar_t* p, size_t n, bool last) {
        const bool dot = n == 1 && p[0] == L'.';
        const bool dots = n == 2 && p[0] == L'.' && p[1] == L'.';
        if (first) leading = n != 0;
        const bool atStart = first;
        first = false;
        if (dot || dots) {
            // A relative path's leading dot segments go without a trace.
            if (leading) return;
            if (dots) {
                // The last segment goes with the "/" before it.
                while (w.n > start && w.out[w.n - 1] != L'/') --w.n;
                if (w.n > start) --w.n;
            }
            // A path that ends in one still names a folder.
            if (last) w.Put(L'/');
            return;
        }
        if (!atStart && !leading) w.Put(L'/');
        leading = false;
        w.Put(p, n);
    }
};

}  // namespace

uint32_t ResolveUrl(const wchar_t* base, const wchar_t* reference, wchar_t* target, size_t units) {
    if (!reference || !target || units == 0) return ERROR_INTERNET_INVALID_URL;
    target[0] = 0;
    Parts r = Split(reference);
    const Parts b = base ? Split(base) : Parts{};
    // "http:g" from an "http:" address is taken as relative, as browsers
    // take it (the RFC's lenient reading).
    if (r.scheme.Present() && b.scheme.Present() && SameNoCase(r.scheme, b.scheme)) r.scheme = {};
    const Parts& top = r.scheme.Present() ? r : b;
    if (!top.scheme.Present()) return ERROR_INTERNET_INVALID_URL;

    Writer w{target, units};
    w.Put(top.scheme);
    w.Put(L':');
    const bool own = r.scheme.Present() || r.authority.Present();
    const Part authority = own ? r.authority : b.authority;
    if (authority.Present()) {
        w.Put(L"//", 2);
        w.Put(authority);
    }
    Part query = r.query;
    PathWriter path(w);
    if (own || (r.path.n && r.path.p[0] == L'/')) {
        path.Segments(r.path, true);
    } else if (r.path.n == 0) {
        // Only a query, a fragment or nothing: the base's own path.
        w.Put(b.path);
        if (!query.Present()) query = b.query;
    } else {
        // A relative path: after the base's last "/" (an empty base path
        // under an authority is "/").
        const wchar_t* slash = nullptr;
        for (size_t i = 0; i < b.path.n; ++i)
            if (b.path.p[i] == L'/') slash = b.path.p + i;
        if (slash)
            path.Segments({b.path.p, size_t(slash - b.path.p)}, false);
        else if (b.authority.Present())
            path.Segment(L"", 0, false);
        path.Segments(r.path, true);
    }
    if (query.Present()) {
        w.Put(L'?');
        w.Put(query);
    }
    if (r.fragment.Present()) {
        w.Put(L'#');
        w.Put(r.fragment);
    }
    if (w.full) {
        target[0] = 0;
        return ERROR_INTERNET_INVALID_URL;
    }
    target[w.n] = 0;
    return 0;
}

uint32_t RequestUrl(const wchar_t* base, const wchar_t* reference, wchar_t* target, size_t units) {
    uint32_t error = ResolveUrl(base, reference, target, units);
    if (error) return error;
    // The fragment is the reader's business, never the server's.
    if (wchar_t* hash = wcschr(target, L'#')) *hash = 0;
    // A server's root is "/" even where the address ends at its authority.
    const Parts parts = Split(target);
    if (parts.authority.Present() && parts.path.n == 0) {
        const size_t at = parts.path.p - target;
        const size_t length = wcslen(target);
        if (length + 1 >= units) {
            target[0] = 0;
            return ERROR_INTERNET_INVALID_URL;
        }
        wmemmove(target + at + 1, target + at, length - at + 1);
        target[at] = L'/';
    }
    return 0;
}
