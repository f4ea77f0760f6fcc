// Helpers shared by every test executable.
#pragma once
#include <windows.h>
#include <functional>
#include <initializer_list>
#include <list>
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

// Sets (or, with null, removes) an environment variable for one scope and
// puts the old value back afterwards.
class ScopedEnv {
public:
    ScopedEnv(const wchar_t* name, const wchar_t* value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::wstring name_, old_;
    bool had_;
};
std::string Narrow(const std::wstring& text);  // to UTF-8

// ---- bytora.exe as a child process ------------------------------------------
#include <utility>
#include <vector>

struct ChildResult {
    std::string out;  // standard output, bytes as written
    std::string err;  // standard error, bytes as written
    DWORD exitCode;   // 0xFFFFFFFF when the child could not be started or hung
};

// Runs bytora.exe from the test executable's own folder with the command tail
// args. Its standard input is a pipe that delivers stdinBytes and then ends;
// standard output and error are pipes. env adds or replaces environment
// variables of the child (an empty value removes the variable). A child still
// running after a minute is ended.
ChildResult RunBytora(const std::wstring& args, const std::string& stdinBytes = "",
                      const std::vector<std::pair<std::wstring, std::wstring>>& env = {});
// The same for any program.
ChildResult RunProgram(const std::wstring& exe, const std::wstring& args, const std::string& stdinBytes = "",
                       const std::vector<std::pair<std::wstring, std::wstring>>& env = {});
// The folder of the test executable (and of bytora.exe, Bytora.dll, TakeCmd.dll), with a final "\\".
std::wstring BinFolder();

// Several ScopedEnv at once: {{name, value}, ...}.
struct EnvSetting {
    const wchar_t* name;
    const wchar_t* value;  // null: unset
};
class ScopedEnvs {
public:
    explicit ScopedEnvs(std::initializer_list<EnvSetting> settings) {
        for (const auto& s : settings) guards_.emplace_back(s.name, s.value);
    }

private:
    std::list<ScopedEnv> guards_;
};
