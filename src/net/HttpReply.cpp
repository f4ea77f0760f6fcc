// What a server's reply says, read through the internet library: the
// status, whether and how long a body follows by HTTP's rules, a redirect's
// target that may have been cut, the FTP server's last reply.
#include "net/NetInternal.h"
#include "plugin/Plugin.h"

#include <climits>
#include <cwchar>

namespace {

constexpr DWORD StatusAsNumber = HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER;  // 0x20000013

// A header's text, empty when the reply has none (or it does not fit).
void QueryText(HINTERNET request, DWORD what, wchar_t* text, DWORD units) {
    DWORD length = units * sizeof(wchar_t), index = 0;
    if (!HttpQueryInfoW(request, what, text, &length, &index)) text[0] = 0;
    text[units - 1] = 0;
}

// Every value the reply gives for a header, its lines joined by ", " as one
// list; false when it has none (the last error says so) or they do not fit.
bool HeaderList(HINTERNET request, DWORD what, wchar_t* list, DWORD units) {
    list[0] = 0;
    size_t used = 0;
    for (DWORD index = 0;;) {
        const size_t start = used ? used + 2 : 0;
        if (start >= units) {
            list[used] = 0;
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return false;
        }
        DWORD length = static_cast<DWORD>((units - start) * sizeof(wchar_t)), before = index;
        if (!HttpQueryInfoW(request, what, list + start, &length, &index)) {
            list[used] = 0;
            return used != 0 && GetLastError() == ERROR_HTTP_HEADER_NOT_FOUND;
        }
        if (used) wmemcpy(list + used, L", ", 2);
        list[units - 1] = 0;
        used = start + wcslen(list + start);
        if (index == before) return true;  // a library that counts no further has given all it has
    }
}

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

// A Content-Length value: one decimal number, or a list that repeats the same
// number; -1 for anything else.
long long ContentLength(const wchar_t* text) {
    long long length = -1;
    for (const wchar_t* p = text;;) {
        while (IsBlank(*p)) ++p;
        if (*p == L',') {  // an empty element of a list counts for nothing
            ++p;
            continue;
        }
        if (!*p) return length;
        long long value = 0;
        const wchar_t* digits = p;
        for (; *p >= L'0' && *p <= L'9'; ++p) {
            if (value > (LLONG_MAX - (*p - L'0')) / 10) return -1;
            value = value * 10 + (*p - L'0');
        }
        if (p == digits || (length >= 0 && value != length)) return -1;
        length = value;
        while (IsBlank(*p)) ++p;
        if (*p && *p != L',') return -1;
    }
}

// The reply is version 1.0 of HTTP.
bool OldReply(HINTERNET request) {
    wchar_t text[64];
    QueryText(request, HTTP_QUERY_VERSION, text, 64);
    return _wcsicmp(text, L"HTTP/1.0") == 0;
}

// WINE: the library keeps the first 4,095 bytes of a header line of the
// reply and drops the rest without a word, so a target that fills the line
// after "Location: " may have been cut: following it would fetch some other
// address.
constexpr size_t CutLocation = 4095 - (sizeof "Location: " - 1);

}  // namespace

bool LocationMayBeCut(const wchar_t* location) { return RunsUnderWine() && wcslen(location) >= CutLocation; }

// The numeric HTTP status, 0 when it cannot be read.
DWORD HttpStatus(HINTERNET request) {
    DWORD status = 0, length = sizeof status, index = 0;
    if (!HttpQueryInfoW(request, StatusAsNumber, &status, &length, &index)) return 0;
    return status;
}

// A chunked reply on a connection the server keeps open. Only there does
// the library's hold on the connection tell a cut body from a whole one: a
// connection the server closes after the body is closed by the library
// when the request is closed in either case.
bool KeepsConnection(HINTERNET request) {
    wchar_t text[64];
    QueryText(request, HTTP_QUERY_CONNECTION, text, 64);
    return _wcsicmp(text, L"close") != 0;
}

// How long the body of a reply with this status is, by HTTP's rules: 0 when
// there is none whatever the headers say, the length announced, or -1 when it
// runs to the end of the connection or of its chunks (*chunked). Anything
// else fails: a transfer coding the library does not undo (it undoes
// "chunked" alone), a transfer coding in an HTTP/1.0 reply, where it cannot
// be trusted, and a length that is not one number. Reason names what failed.
DWORD BodyLength(HINTERNET request, DWORD status, long long* length, bool* chunked, wchar_t* reason) {
    *length = -1;
    *chunked = false;
    if (status == 204) {
        *length = 0;
        return 0;
    }
    wchar_t list[512];
    if (HeaderList(request, HTTP_QUERY_TRANSFER_ENCODING, list, 512) || GetLastError() != ERROR_HTTP_HEADER_NOT_FOUND) {
        // It decides over any Content-Length, which may count the coded body.
        if (OldReply(request)) return ERROR_HTTP_INVALID_SERVER_RESPONSE;
        if (_wcsicmp(list, L"chunked") != 0) {
            FormatText(reason, ReasonUnits, L"The body is in a transfer coding that cannot be undone: \"%s\".", list);
            return ErrorDecodingFailed;
        }
        *chunked = true;
        return 0;
    }
    const bool listed = HeaderList(request, HTTP_QUERY_CONTENT_LENGTH, list, 512);
    if (!listed && GetLastError() == ERROR_HTTP_HEADER_NOT_FOUND) return 0;  // the body runs to the end of the connection
    *length = listed ? ContentLength(list) : -1;
    if (*length >= 0) return 0;
    FormatText(reason, ReasonUnits, L"The length of the body is not one number: \"%s\".", list);
    return ERROR_HTTP_INVALID_SERVER_RESPONSE;
}

long long AnnouncedLength(HINTERNET request) {
    wchar_t reason[ReasonUnits];
    long long length = -1;
    bool chunked = false;
    return BodyLength(request, HttpStatus(request), &length, &chunked, reason) == 0 ? length : -1;
}

// WINE: a reply without a status line is taken by the library for an
// old-style one and given the status line "HTTP/1.0 200 OK" and no header
// at all; real servers always send headers.
bool MadeUpStatusLine(HINTERNET request) {
    wchar_t raw[64];
    QueryText(request, HTTP_QUERY_RAW_HEADERS_CRLF, raw, 64);
    return wcscmp(raw, L"HTTP/1.0 200 OK\r\n\r\n") == 0;
}

// A status that ends the download: the result is the status negated.
DWORD StatusResult(DWORD status) { return static_cast<DWORD>(-static_cast<int>(status)); }

bool IsRedirect(DWORD status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// The number at the start of the server's last FTP reply, 0 when none.
int LastFtpReply() {
    DWORD code = 0, length = 0;
    InternetGetLastResponseInfoW(&code, nullptr, &length);
    if (length == 0) return 0;
    wchar_t* text = static_cast<wchar_t*>(LocalAlloc(LMEM_FIXED, (length + 1) * sizeof(wchar_t)));
    if (!text) return 0;
    ++length;
    int reply = 0;
    if (InternetGetLastResponseInfoW(&code, text, &length)) {
        // Several lines may be kept; the last complete reply is the one that counts.
        const wchar_t* line = text;
        for (const wchar_t* p = text; *p; ++p)
            if (*p == L'\n' && p[1] >= L'1' && p[1] <= L'5') line = p + 1;
        if (line[0] >= L'1' && line[0] <= L'5' && iswdigit(line[1]) && iswdigit(line[2]))
            reply = (line[0] - L'0') * 100 + (line[1] - L'0') * 10 + (line[2] - L'0');
    }
    LocalFree(text);
    return reply;
}
