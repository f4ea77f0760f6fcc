// Path resolution: from what the user typed to the full name the walk
// searches with, and the joining of names to directories.
#include "filesel/FileSel.h"
#include "filesel/FileSelInternal.h"
#include "plugin/HostServices.h"
#include <shlobj.h>
#include <cstring>
#include <cwchar>

namespace {

// ResolvePath never calls out to anything that could re-enter it, so its
// working buffers can be shared.
wchar_t WorkText[PathCapacity];
wchar_t ShortText[PathCapacity];
wchar_t TrueName[PathCapacity];
wchar_t HomeText[PathCapacity];

void UnifySeparators(wchar_t* text) {
    for (; *text; ++text)
        if (*text == L'/') *text = L'\\';
}

bool HasDrivePrefix(const wchar_t* text) { return IsAsciiLetterOrDigit(text[0]) && text[1] == L':'; }

// ";" in the last component separates alternative patterns; in directory
// names it is an ordinary character.
void MarkAlternatives(wchar_t* text) {
    size_t start = HasDrivePrefix(text) ? 2 : 0;
    wchar_t* last = wcsrchr(text + start, L'\\');
    wchar_t* p = last ? last + 1 : text + start + (text[start] ? 1 : 0);
    for (; *p; ++p)
        if (*p == L';') *p = L'|';
}

// A candidate for the home directory: kept when it exists as a directory.
bool TryHome(wchar_t* candidate, wchar_t* out) {
    if (!candidate[0] || wcslen(candidate) >= MAX_PATH) return false;
    UnifySeparators(candidate);
    if (!QueryIsDirectory(candidate)) return false;
    wcscpy(out, candidate);
    return true;
}

// The variable's value when it is set, non-empty and shorter than MAX_PATH.
bool ReadVariable(const wchar_t* variable, wchar_t* value) {
    DWORD length = GetEnvironmentVariableW(variable, value, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        value[0] = 0;
        return false;
    }
    return true;
}

// Length of the part that "." and ".." never climb above: "C:\", "C:",
// "\", "\\server\share\"; 0 for a relative path.
size_t RootLength(const wchar_t* text) {
    if (HasDrivePrefix(text)) return text[2] == L'\\' ? 3 : 2;
    if (text[0] != L'\\') return 0;
    if (text[1] != L'\\') return 1;
    const wchar_t* p = text + 2;
    for (int part = 0; part < 2 && *p; ++part) {
        while (*p && *p != L'\\') ++p;
        if (*p) ++p;
    }
    return static_cast<size_t>(p - text);
}

bool IsDotDot(const wchar_t* text, size_t length) { return length == 2 && text[0] == L'.' && text[1] == L'.'; }

}  // namespace

size_t CollapseDotComponents(const wchar_t* in, wchar_t* out) {
    // "\\?\" names are taken literally, and device names are not paths.
    if (in[0] == L'\\' && in[1] == L'\\' && (in[2] == L'?' || in[2] == L'.') && in[3] == L'\\') {
        size_t length = wcslen(in);
        std::memcpy(out, in, (length + 1) * sizeof(wchar_t));
        return length;
    }
    const size_t root = RootLength(in);
    const bool absolute = root > 0 && in[root - 1] == L'\\';
    std::memcpy(out, in, root * sizeof(wchar_t));
    size_t length = root;
    const wchar_t* p = in + root;
    for (;;) {
        const wchar_t* end = p;
        while (*end && *end != L'\\') ++end;
        const size_t size = static_cast<size_t>(end - p);
        if (!*end) {
            // The last component is the system's business: "x\." and "x\"
            // do not name the same thing.
            std::memcpy(out + length, p, size * sizeof(wchar_t));
            length += size;
            break;
        }
        if (size == 0 || (size == 1 && p[0] == L'.')) {
            // an empty or "." step goes nowhere
        } else if (IsDotDot(p, size) && length > root) {
            // Back over the last component kept, unless that is a ".." that
            // could not be taken itself; each unit is taken back at most once.
            size_t start = length - 1;
            while (start > root && out[start - 1] != L'\\') --start;
            if (IsDotDot(out + start, length - 1 - start)) {
                std::memcpy(out + length, L"..\\", 3 * sizeof(wchar_t));
                length += 3;
            } else {
                length = start;
            }
        } else if (IsDotDot(p, size) && absolute) {
            // nothing lies above the root
        } else {
            std::memcpy(out + length, p, size * sizeof(wchar_t));
            length += size;
            out[length++] = L'\\';
        }
        p = end + 1;
    }
    out[length] = 0;
    return length;
}

int HomeDirectory(wchar_t* out) {
    if (!out) return -1;
    out[0] = 0;
    wchar_t candidate[MAX_PATH * 2];
    if (ReadVariable(L"HOME", candidate) && TryHome(candidate, out)) return 0;

    wchar_t drive[MAX_PATH];
    if (ReadVariable(L"HOMEDRIVE", drive) && IsAsciiLetter(drive[0]) && drive[1] == L':' &&
        ReadVariable(L"HOMEPATH", candidate) && IsPathSeparator(candidate[0])) {
        size_t driveLength = wcslen(drive);
        size_t pathLength = wcslen(candidate);
        if (driveLength + pathLength < MAX_PATH) {
            std::memmove(candidate + driveLength, candidate, (pathLength + 1) * sizeof(wchar_t));
            std::memcpy(candidate, drive, driveLength * sizeof(wchar_t));
            if (TryHome(candidate, out)) return 0;
        }
    }

    candidate[0] = 0;
    if (SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, SHGFP_TYPE_CURRENT, candidate) == S_OK &&
        TryHome(candidate, out))
        return 0;
    return -1;
}

int ExpandHome(wchar_t* path) {
    if (!path) return -1;
    if (path[0] != L'~' || (path[1] != 0 && path[1] != L'\\')) return 0;
    // A real "~" in the current directory is what the user means.
    if (path[1] == 0 ? QueryIsFileOrDirectory(L".\\~") != 0 : QueryIsDirectory(L".\\~") != 0) return 0;
    if (HomeDirectory(HomeText) != 0) return 0;
    const wchar_t* rest = path[1] ? path + 2 : path + 1;
    if (rest[0] && JoinPath(HomeText, rest) != 0) return 111;
    wcscpy(path, HomeText);
    return 1;
}

int ResolvePath(const wchar_t* spec, wchar_t* out, uint32_t mode) {
    if (!spec || !out || !spec[0]) return -1;
    size_t length = wcslen(spec);
    if (length >= PathCapacity) return 111;
    std::memcpy(WorkText, spec, (length + 1) * sizeof(wchar_t));
    UnifySeparators(WorkText);
    if (mode & RESOLVE_ALTERNATIVES) MarkAlternatives(WorkText);
    if ((mode & RESOLVE_HOME) && WorkText[0] == L'~' && ExpandHome(WorkText) == 111) return 111;
    if (HasDrivePrefix(WorkText) && WorkText[0] >= L'a' && WorkText[0] <= L'z') WorkText[0] -= L'a' - L'A';

    // The true name replaces the text unless it differs only in letter case:
    // the case the user typed is kept. The host is asked with the "." and
    // ".." steps already taken.
    CollapseDotComponents(WorkText, ShortText);
    TrueName[0] = 0;
    QueryTrueName(ShortText, TrueName);
    TrueName[PathCapacity - 1] = 0;
    if (TrueName[0] && CompareStringOrdinal(TrueName, -1, WorkText, -1, TRUE) != CSTR_EQUAL)
        wcscpy(WorkText, TrueName);
    wcscpy(out, WorkText);
    return 0;
}

int JoinPath(wchar_t* directory, const wchar_t* name) {
    if (!directory || !name) return -1;
    size_t directoryLength = wcslen(directory);
    size_t nameLength = wcslen(name);
    bool separator = directoryLength > 0 && !IsPathSeparator(directory[directoryLength - 1]) &&
                     directory[directoryLength - 1] != L':' && !IsPathSeparator(name[0]);
    if (directoryLength + separator + nameLength >= PathCapacity) return 111;
    if (separator) directory[directoryLength++] = L'\\';
    std::memcpy(directory + directoryLength, name, (nameLength + 1) * sizeof(wchar_t));
    LongPathPrefix(directory);
    return 0;
}
