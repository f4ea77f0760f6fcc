// The clipboard as an input: its text, copied into a heap block that the
// record holds as UTF-16 data.
#include "input/InputInternal.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace {

constexpr uint32_t ClipboardFailed = static_cast<uint32_t>(-1);

// Unlocks the clipboard text and closes the clipboard, each only when taken.
struct ClipboardSession {
    bool Open = false;
    HANDLE Locked = nullptr;
    ~ClipboardSession() { End(); }
    void End() {
        if (Locked) GlobalUnlock(Locked);
        Locked = nullptr;
        if (Open) CloseClipboard();
        Open = false;
    }
};

}  // namespace

int OpenClipboardInput(InputSource* source) {
    const wchar_t* failure;
    {
        ClipboardSession clip;
        clip.Open = OpenClipboard(GetConsoleWindow()) != 0;
        HANDLE data = clip.Open ? GetClipboardData(CF_UNICODETEXT) : nullptr;
        const wchar_t* text = data ? static_cast<const wchar_t*>(GlobalLock(data)) : nullptr;
        if (text) clip.Locked = data;
        // The block need not hold a terminator: never look beyond its size.
        size_t length = text ? wcsnlen(text, GlobalSize(data) / sizeof(wchar_t)) : 0;
        if (!clip.Open) {
            failure = L"Can\u2019t open the clipboard\r\n";
        } else if (data && !text) {
            failure = L"Can\u2019t get clipboard text data address\r\n";
        } else if (length == 0) {
            failure = L"No text on the clipboard\r\n";
        } else {
            size_t bytes = length * sizeof(wchar_t);
            uint8_t* copy = static_cast<uint8_t*>(malloc(bytes + sizeof(wchar_t)));
            if (!copy) {
                failure = L"Can\u2019t allocate buffer for clipboard data\r\n";
            } else {
                memcpy(copy, text, bytes);
                copy[bytes] = copy[bytes + 1] = 0;
                source->Data = copy;
                source->Size = bytes;
                source->Encoding = Utf16Le;
                if (copy[0] == 0xFF && copy[1] == 0xFE) source->Position = source->BomLength = 2;
                return 0;
            }
        }
    }
    Report(source, failure);
    source->LastError = ClipboardFailed;
    return FailOpen(source);
}
