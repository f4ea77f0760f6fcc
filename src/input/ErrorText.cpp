// Error texts and the reports of input acquisition: the message after the
// error prefix and the indented line that explains it.
#include "input/InputInternal.h"

#include <wininet.h>

#include <cwchar>

namespace {

constexpr uint32_t NoSuchDevice = 433;  // ERROR_NO_SUCH_DEVICE, not in every winerror.h

struct HttpStatusText {
    int Status;
    const wchar_t* Text;
};

const HttpStatusText HttpStatusTexts[] = {
    {400, L"Bad request"},    {401, L"Unauthorized"},    {402, L"Payment required"}, {403, L"Forbidden"},
    {404, L"Not found"},      {408, L"Request timeout"}, {500, L"Internal error"},   {503, L"Service unavailable"},
    // A redirect that is not followed ends a download like an error status.
    {300, L"Multiple choices"}, {301, L"Moved permanently"}, {302, L"Found"},          {303, L"See other"},
    {304, L"Not modified"},     {305, L"Use proxy"},         {307, L"Temporary redirect"}, {308, L"Permanent redirect"},
};

// Texts for the internet library's codes that the download returns and
// that the library's module may have no text for.
const HttpStatusText InternetErrorTexts[] = {
    {ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR, L"The secure address redirects to one that is not secure."},
    {ERROR_HTTP_INVALID_SERVER_RESPONSE, L"The server returned an invalid or unrecognized response."},
    {ERROR_HTTP_REDIRECT_FAILED, L"The request was redirected more than 10 times."},
    {ErrorDecodingFailed, L"The body is in a transfer coding that cannot be undone."},
};

}  // namespace

// A message after the error prefix; user text only ever goes in through "%s".
void Report(const InputSource* source, const wchar_t* format, const wchar_t* text) {
    if (source->OpenFlags & OPEN_REPORT) ReportError(format, text);
}

// The indented line that explains an error under a message.
void WriteReasonLine(const wchar_t* text) { Qprintf(GetStdHandle(STD_ERROR_HANDLE), L"   %s\r\n", text); }

void WriteErrorLine(uint32_t error) {
    wchar_t text[TextUnits];
    FormatErrorText(static_cast<int>(error), text);
    WriteReasonLine(text);
}

void ReportErrorLine(const InputSource* source) {
    if (source->OpenFlags & OPEN_REPORT) WriteErrorLine(source->LastError);
}

void ReportWithErrorText(const InputSource* source, const wchar_t* format) {
    if (!(source->OpenFlags & OPEN_REPORT)) return;
    wchar_t text[TextUnits];
    FormatErrorText(static_cast<int>(source->LastError), text);
    ReportError(format, text);
}

// Leaves the record empty apart from LastError and returns it.
int FailOpen(InputSource* source) {
    uint32_t error = source->LastError;
    ReleaseInput(source);
    source->LastError = error;
    return static_cast<int>(error);
}

uint32_t PathError(uint32_t error, const wchar_t* path) {
    // WINE: a name longer than its file system takes is a general failure,
    // and a socket a device that does not exist: the name is too long, and
    // the socket is no file to read (as a FIFO is not).
    if (error == ERROR_GEN_FAILURE && path && wcslen(path) >= MAX_PATH) return ERROR_FILENAME_EXCED_RANGE;
    if (error == NoSuchDevice) return ERROR_CANT_ACCESS_FILE;
    return error;
}

void ReportReadFault(const wchar_t* format, const wchar_t* name, uint32_t error) {
    ReportError(format, name);
    WriteErrorLine(error);
}

int FormatErrorText(int code, wchar_t* text) {
    if (!text) return -1;
    text[0] = 0;
    HMODULE module = nullptr;
    DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK;
    // The internet library's own codes have their texts in its module.
    if (code >= 12000 && code <= 12199 && (module = GetModuleHandleW(L"wininet.dll")) != nullptr)
        flags |= FORMAT_MESSAGE_FROM_HMODULE;
    if (code == -1) {
        FormatText(text, TextUnits, L"%s", L"Unknown error");
    } else if (code == -100) {
        FormatText(text, TextUnits, L"%s", L"The file is empty.");
    } else if (code >= -599 && code <= -300) {
        int status = -code;
        int length = FormatText(text, TextUnits, L"HTTP error %d", status);
        for (const HttpStatusText& entry : HttpStatusTexts)
            if (entry.Status == status && length > 0)
                FormatText(text + length, TextUnits - static_cast<size_t>(length), L":  %s", entry.Text);
    } else if (!FormatMessageW(flags, module, static_cast<DWORD>(code), 0, text, static_cast<DWORD>(TextUnits),
                               nullptr)) {
        FormatText(text, TextUnits, L"Error %d", code);
        for (const HttpStatusText& entry : InternetErrorTexts)
            if (entry.Status == code) FormatText(text, TextUnits, L"%s", entry.Text);
    }
    text[TextUnits - 1] = 0;
    size_t length = wcslen(text);
    while (length && (text[length - 1] == L' ' || text[length - 1] == L'\t' || text[length - 1] == L'\r' ||
                      text[length - 1] == L'\n'))
        text[--length] = 0;
    return 0;
}
