// Text helpers of the file-selection library: pattern matching, the
// long-path prefix, white space, error texts and bounded joins.
#include "filesel/FileSelInternal.h"
#include "plugin/Plugin.h"

#include <cstring>
#include <cwchar>
#include <cwctype>

// Copies first and second (either may be null) into out when both fit.
bool Concatenate(wchar_t* out, const wchar_t* first, size_t firstLength, const wchar_t* second) {
    size_t secondLength = second ? wcslen(second) : 0;
    if (firstLength + secondLength >= PathCapacity) return false;
    if (out != first) std::memcpy(out, first, firstLength * sizeof(wchar_t));
    if (secondLength) std::memcpy(out + firstLength, second, secondLength * sizeof(wchar_t));
    out[firstLength + secondLength] = 0;
    return true;
}

int MatchPattern(const wchar_t* pattern, const wchar_t* name, bool alternatives) {
    if (!pattern || !name) return -2;
    if (!alternatives || !wcschr(pattern, L'|')) {
        if (alternatives && !pattern[0]) return -2;
        return WildcardComparison(pattern, name, 1, 1);
    }
    static wchar_t alternative[PathCapacity];
    int result = -2;
    const wchar_t* start = pattern;
    for (;;) {
        const wchar_t* bar = wcschr(start, L'|');
        size_t length = bar ? static_cast<size_t>(bar - start) : wcslen(start);
        if (length > 0) {
            if (length > PathCapacity - 1) length = PathCapacity - 1;
            std::memcpy(alternative, start, length * sizeof(wchar_t));
            alternative[length] = 0;
            result = WildcardComparison(alternative, name, 1, 1);
            if (result == 0) return 0;
        }
        if (!bar) return result;
        start = bar + 1;
    }
}

int LongPathPrefix(wchar_t* name) {
    if (!name || !name[0]) return -1;
    if (name[0] == L'\\' && name[1] == L'\\') return 0;
    size_t length = wcslen(name);
    if (length < MAX_PATH) return 0;
    size_t directoryLength = 0;
    for (size_t i = 0; i < length; ++i)
        if (IsPathSeparator(name[i])) directoryLength = i + 1;
    if (directoryLength == 1) directoryLength = 0;
    if (directoryLength + 12 <= MAX_PATH) return 0;
    if (length + 4 >= PathCapacity) return -1;  // no room for the prefix
    std::memmove(name + 4, name, (length + 1) * sizeof(wchar_t));
    std::memcpy(name, L"\\\\?\\", 4 * sizeof(wchar_t));
    return 1;
}

void TrimWhiteSpace(wchar_t* text) {
    if (!text) return;
    size_t length = wcslen(text);
    while (length > 0 && iswspace(text[length - 1])) --length;
    text[length] = 0;
    size_t start = 0;
    while (start < length && iswspace(text[start])) ++start;
    if (start) std::memmove(text, text + start, (length - start + 1) * sizeof(wchar_t));
}

int SystemErrorText(int code, wchar_t* buffer) {
    if (!buffer) return -1;
    const DWORD capacity = 1024;
    if (code == -1) {
        wcscpy(buffer, L"Unknown error");
        return 0;
    }
    // From the system, no inserts, no line breaks.
    DWORD length = FormatMessageW(0x12FF, nullptr, static_cast<DWORD>(code), 0, buffer, capacity, nullptr);
    if (length == 0 || length >= capacity) FormatText(buffer, capacity, L"Error %d", code);
    length = static_cast<DWORD>(wcslen(buffer));
    while (length > 0 && iswspace(buffer[length - 1])) --length;
    buffer[length] = 0;
    return 0;
}
