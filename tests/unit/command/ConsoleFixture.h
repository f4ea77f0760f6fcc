// A console screen buffer standing in for standard output, for the tests that
// need the window size of a real console. Where no console can be had, ok()
// is false and the test skips itself.
#pragma once
#include <windows.h>

class ScopedConsoleOutput {
public:
    ScopedConsoleOutput() {
        // Only a console the process already has: without a terminal there is
        // none that could be sized.
        HANDLE probe = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
        if (probe == INVALID_HANDLE_VALUE) return;
        CloseHandle(probe);
        saved_[0] = GetStdHandle(STD_INPUT_HANDLE);
        saved_[1] = GetStdHandle(STD_OUTPUT_HANDLE);
        saved_[2] = GetStdHandle(STD_ERROR_HANDLE);
        active_ = true;
        buffer_ = CreateConsoleScreenBuffer(GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                            CONSOLE_TEXTMODE_BUFFER, nullptr);
        if (buffer_ != INVALID_HANDLE_VALUE) SetStdHandle(STD_OUTPUT_HANDLE, buffer_);
    }
    ~ScopedConsoleOutput() {
        if (!active_) return;
        SetStdHandle(STD_INPUT_HANDLE, saved_[0]);
        SetStdHandle(STD_OUTPUT_HANDLE, saved_[1]);
        SetStdHandle(STD_ERROR_HANDLE, saved_[2]);
        if (input_ != INVALID_HANDLE_VALUE) CloseHandle(input_);
        if (buffer_ != INVALID_HANDLE_VALUE) CloseHandle(buffer_);
    }
    ScopedConsoleOutput(const ScopedConsoleOutput&) = delete;
    ScopedConsoleOutput& operator=(const ScopedConsoleOutput&) = delete;

    bool ok() const { return buffer_ != INVALID_HANDLE_VALUE; }

    // Sizes the window; false when the console would not take the size.
    bool SetWindow(short width, short height) {
        COORD size{static_cast<short>(width > 500 ? width : 500), 300};
        SetConsoleScreenBufferSize(buffer_, size);
        SMALL_RECT window{0, 0, static_cast<short>(width - 1), static_cast<short>(height - 1)};
        if (!SetConsoleWindowInfo(buffer_, TRUE, &window)) return false;
        CONSOLE_SCREEN_BUFFER_INFO info;
        return GetConsoleScreenBufferInfo(buffer_, &info) && info.srWindow.Right - info.srWindow.Left + 1 == width &&
               info.srWindow.Bottom - info.srWindow.Top + 1 == height;
    }

    // Makes the console's input standard input; false when it cannot be opened.
    bool UseConsoleInput() {
        input_ = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
        if (input_ == INVALID_HANDLE_VALUE) return false;
        SetStdHandle(STD_INPUT_HANDLE, input_);
        return true;
    }

private:
    HANDLE saved_[3] = {};
    HANDLE buffer_ = INVALID_HANDLE_VALUE;
    HANDLE input_ = INVALID_HANDLE_VALUE;
    bool active_ = false;
};
