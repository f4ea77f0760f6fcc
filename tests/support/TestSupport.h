// Helpers shared by every test executable.
#pragma once
#include <windows.h>
#include <functional>
#include <string>

struct Captured {
    std::string outBytes;  // standard output exactly as written
    std::wstring out;      // standard output decoded from UTF-8
    std::wstring err;      // standard error decoded from UTF-8
    int result;            // what fn returned
};

// Runs fn with standard output and standard error redirected to temporary
// files, flushes the host's buffered output, restores the handles and returns
// what was written.
Captured CaptureOutput(const std::function<int()>& fn);

std::wstring MakeTempDir();  // a fresh, unique folder under the temp path
void RemoveTree(const std::wstring& path);
bool WriteBytes(const std::wstring& path, const std::string& bytes);
std::string ReadBytes(const std::wstring& path);
std::wstring Widen(const std::string& utf8);
std::string Narrow(const std::wstring& text);  // to UTF-8
