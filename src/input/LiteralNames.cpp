// Names as the system takes them: the literal "\\?\" form of a full path (a
// file called AUX is that file), device paths, and addresses that hold
// wildcards.
#include "input/InputInternal.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>

wchar_t* CopyText(const wchar_t* text) {
    size_t bytes = (wcslen(text) + 1) * sizeof(wchar_t);
    wchar_t* copy = static_cast<wchar_t*>(malloc(bytes));
    if (copy) memcpy(copy, text, bytes);
    return copy;
}

// A full, plain path on a drive or a share ("C:\x", "\\server\share\x",
// either in the "\\?\" form), as the walk and list files give names: its
// "\\?\" form names the same file, and takes a name like AUX or NUL literally.
bool HasLiteralForm(const wchar_t* name) {
    auto drive = [](const wchar_t* p) {
        return ((p[0] >= L'A' && p[0] <= L'Z') || (p[0] >= L'a' && p[0] <= L'z')) && p[1] == L':' && p[2] == L'\\';
    };
    if (wcsncmp(name, L"\\\\?\\UNC\\", 8) == 0) return true;
    if (wcsncmp(name, L"\\\\?\\", 4) == 0) return drive(name + 4);
    if (name[0] == L'\\' && name[1] == L'\\') {
        if (name[2] == L'?' || name[2] == L'.' || name[2] == L'\\' || !name[2]) return false;
    } else if (!drive(name)) {
        return false;
    }
    // The system would take "." and ".." steps and "/" that the literal
    // form keeps; such a name is not plain.
    for (const wchar_t* p = name; *p; ++p) {
        if (*p == L'/') return false;
        if (*p == L'.' && p[-1] == L'\\') {
            const wchar_t* q = p[1] == L'.' ? p + 2 : p + 1;
            if (*q == 0 || *q == L'\\') return false;
        }
    }
    return true;
}

// The "\\?\" form of a name HasLiteralForm accepts, or null when it does not fit.
wchar_t* LiteralForm(const wchar_t* name) {
    if (wcsncmp(name, L"\\\\?\\", 4) == 0) return CopyText(name);
    const bool share = name[0] == L'\\';
    const wchar_t* prefix = share ? L"\\\\?\\UNC" : L"\\\\?\\";
    const wchar_t* rest = share ? name + 1 : name;
    const size_t prefixLength = wcslen(prefix);
    const size_t restLength = wcslen(rest);
    if (prefixLength + restLength >= PathUnits) return nullptr;
    wchar_t* text = static_cast<wchar_t*>(malloc((prefixLength + restLength + 1) * sizeof(wchar_t)));
    if (!text) return nullptr;
    memcpy(text, prefix, prefixLength * sizeof(wchar_t));
    memcpy(text + prefixLength, rest, (restLength + 1) * sizeof(wchar_t));
    return text;
}

int UrlWildcardCount(const wchar_t* name) {
    if (!name) return 0;
    if (StartsWithNoCase(name, L"http://") || StartsWithNoCase(name, L"https://")) return 0;
    int count = 0;
    bool inSet = false;
    for (const wchar_t* p = name; *p; ++p) {
        if (*p == L'*' || *p == L'?') {
            ++count;
        } else if (*p == L'[') {
            inSet = true;
        } else if (*p == L']' && inSet) {
            inSet = false;
            ++count;
        }
    }
    return count;
}

int MakeDevicePath(wchar_t* name) {
    if (!name) return -1;
    size_t length = wcsnlen(name, PathUnits);
    if (length + 4 >= PathUnits) return -1;
    memmove(name + 4, name, (length + 1) * sizeof(wchar_t));
    memcpy(name, L"\\\\.\\", 4 * sizeof(wchar_t));
    return 0;
}

wchar_t* LiteralPath(const wchar_t* name) {
    return name && HasLiteralForm(name) ? LiteralForm(name) : nullptr;
}
