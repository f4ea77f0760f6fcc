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

}  // namespace

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
    // the case the user typed is kept.
    TrueName[0] = 0;
    QueryTrueName(WorkText, TrueName);
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
