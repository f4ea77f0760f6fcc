// Splits the command tail into arguments.
//
// Besides white space and double quotes, a "/" inside an option starts a new
// argument (so /H/B is two options), an address written with "://" stays whole,
// and an exclusion range opened by "/[!" keeps its blanks up to the "]".
#include "command/Command.h"
#include "plugin/Plugin.h"

#include <cstring>
#include <cwctype>

wchar_t ArgBuffer[MAX_ARG_LEN];
wchar_t* ArgVector[MAX_ARGS];
int32_t ArgLength[MAX_ARGS];
int32_t ArgCount;

namespace {

bool IsSpace(wchar_t ch) { return ch != L'\0' && iswspace(ch); }

// Scan state of the argument being built.
struct Scan {
    int position = 0;   // next free cell of ArgBuffer
    int count = 0;      // completed arguments
    int length = 0;     // characters of the current argument
    bool quoted = false;
    bool range = false;
    bool url = false;

    // Cells used so far: the stored characters and terminators, including
    // the terminator that follows the argument being built.
    int Used() const { return position + (length > 0 ? 1 : 0); }

    void EndArgument() {
        ++count;
        ++position;  // past the terminator
        length = 0;
        range = false;
        url = false;
    }

    // Returns -1 on overflow (reported), else 0.
    int Append(wchar_t ch) {
        if (Used() >= MAX_ARG_LEN - 1) {
            ReportError(L"Buffer overflow: b = %d, MAX_ARG_LEN = %d \r\n", Used(), MAX_ARG_LEN);
            return -1;
        }
        if (count >= MAX_ARGS) return 0;  // surplus arguments are dropped
        if (length == 0) ArgVector[count] = ArgBuffer + position;
        ArgBuffer[position++] = ch;
        ArgBuffer[position] = L'\0';
        ++length;
        ++ArgLength[count];
        if (ch == L'!' && length == 3 && wcsncmp(ArgVector[count], L"/[!", 3) == 0) range = true;
        return 0;
    }
};

}  // namespace

int TokenizeArguments(const wchar_t* tail) {
    if (!tail) return -1;
    memset(ArgBuffer, 0, sizeof ArgBuffer);
    memset(ArgVector, 0, sizeof ArgVector);
    memset(ArgLength, 0, sizeof ArgLength);
    ArgCount = 0;

    Scan s;
    for (const wchar_t* p = tail;; ++p) {
        wchar_t ch = *p;
        if (ch == L'"') {
            s.quoted = !s.quoted;
            if (!s.range) continue;
        } else if (IsSpace(ch)) {
            if (s.length == 0 && !s.quoted) continue;
            if (!s.quoted && !s.range) {
                s.EndArgument();
                continue;
            }
        } else if (ch == L']' && !s.quoted) {
            s.range = false;
        } else if (ch == L':' && s.length > 0 && p[1] == L'/' && p[2] == L'/' &&
                   iswalpha(ArgVector[s.count][s.length - 1])) {
            s.url = true;
        } else if (ch == L'/' && !s.quoted && !s.url && s.length > 1 && ArgVector[s.count][0] == L'/') {
            s.EndArgument();
        } else if (ch == L'\0') {
            if (s.length > 0) s.EndArgument();
            break;
        }
        if (s.Append(ch) != 0) return -1;
    }

    for (int i = 0; i < s.count; ++i) {
        while (ArgLength[i] > 0 && IsSpace(ArgVector[i][ArgLength[i] - 1])) {
            ArgVector[i][ArgLength[i] - 1] = L'\0';
            --ArgLength[i];
        }
    }
    ArgCount = s.count;
    return ArgCount;
}
