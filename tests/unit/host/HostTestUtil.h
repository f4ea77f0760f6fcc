// Small helpers for the host tests.
#pragma once
#include <windows.h>
#include <string>

// Sets (or, with nullptr, removes) an environment variable for one scope.
class ScopedEnv {
public:
    ScopedEnv(const wchar_t* name, const wchar_t* value) : name_(name) {
        wchar_t buffer[32768];
        DWORD n = GetEnvironmentVariableW(name, buffer, 32768);
        had_ = n > 0 && n < 32768;
        if (had_) old_.assign(buffer, n);
        SetEnvironmentVariableW(name, value);
    }
    ~ScopedEnv() { SetEnvironmentVariableW(name_.c_str(), had_ ? old_.c_str() : nullptr); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::wstring name_, old_;
    bool had_ = false;
};
