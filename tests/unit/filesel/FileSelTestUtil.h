// Helpers of the file-selection tests: real directory trees in a temporary
// folder, a callback that records its calls, and guards that put the current
// directory and environment variables back.
#pragma once
#include "TestSupport.h"
#include "filesel/FileSel.h"
#include "plugin/HostServices.h"
#include <gtest/gtest.h>
#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

// A temporary folder, removed with everything in it at the end of the test.
struct TempTree {
    std::wstring root;  // the host's true name of the folder
    TempTree() {
        std::wstring made = MakeTempDir();
        std::vector<wchar_t> full(32768);
        QueryTrueName(made.c_str(), full.data());
        root = full[0] ? full.data() : made;
    }
    ~TempTree() { RemoveTree(root); }
    TempTree(const TempTree&) = delete;
    TempTree& operator=(const TempTree&) = delete;

    std::wstring Path(const std::wstring& relative) const { return relative.empty() ? root : root + L"\\" + relative; }
    // Creates a file (and the folders above it) holding bytes.
    void File(const std::wstring& relative, const std::string& bytes = "x") const {
        size_t slash = relative.rfind(L'\\');
        if (slash != std::wstring::npos) Dir(relative.substr(0, slash));
        ASSERT_TRUE(WriteBytes(Long(Path(relative)), bytes)) << Narrow(relative);
    }
    void Dir(const std::wstring& relative) const {
        size_t start = 0;
        for (;;) {
            size_t slash = relative.find(L'\\', start);
            std::wstring part = relative.substr(0, slash);
            CreateDirectoryW(Long(Path(part)).c_str(), nullptr);
            if (slash == std::wstring::npos) break;
            start = slash + 1;
        }
    }
    // Long names are created through the "\\?\" form.
    static std::wstring Long(const std::wstring& full) {
        return full.size() >= 240 && full.compare(0, 2, L"\\\\") != 0 ? L"\\\\?\\" + full : full;
    }
};

// Records every callback call; results and exceptions can be planned per name
// (the name relative to the tree's root).
struct Recorder {
    std::wstring root;
    std::vector<std::wstring> names;  // relative to root when below it
    std::vector<uint32_t> flags;
    std::map<std::wstring, int> results;
    std::wstring throwOn;
    std::function<void(const std::wstring&)> onCall;  // runs inside the callback

    static int Callback(const wchar_t* name, uint32_t callbackFlags, void* data) {
        Recorder* self = static_cast<Recorder*>(data);
        std::wstring relative = name;
        if (!self->root.empty() && relative.compare(0, self->root.size() + 1, self->root + L"\\") == 0)
            relative = relative.substr(self->root.size() + 1);
        self->names.push_back(relative);
        self->flags.push_back(callbackFlags);
        if (self->onCall) self->onCall(relative);
        if (!self->throwOn.empty() && relative == self->throwOn) throw 42;
        auto found = self->results.find(relative);
        return found == self->results.end() ? 0 : found->second;
    }
    std::vector<std::wstring> Sorted() const {
        std::vector<std::wstring> sorted = names;
        std::sort(sorted.begin(), sorted.end());
        return sorted;
    }
    size_t IndexOf(const std::wstring& name) const {
        return static_cast<size_t>(std::find(names.begin(), names.end(), name) - names.begin());
    }
};

// The command's default selection: every file that is not a directory.
constexpr uint32_t DefaultMask = 0x10;
constexpr uint32_t CommandFlags = FH_ALTERNATIVES | FH_PASS_STDIN | FH_PASS_CLIPBOARD | FH_LIST_FILES | FH_PASS_URLS;

inline Captured Walk(Recorder& recorder, const std::wstring& spec, uint32_t handlerFlags, int32_t minDepth = 0,
                     int32_t maxDepth = -1, uint32_t mask = DefaultMask, uint32_t value = 0) {
    return CaptureOutput([&] {
        return FileHandler(spec.c_str(), 0x1234, &recorder, Recorder::Callback, handlerFlags, mask, value, nullptr,
                           minDepth, maxDepth);
    });
}

inline std::wstring Prefixed(const std::wstring& message) { return L"Bytora plugin: " + message; }

// Puts the current directory back at the end of a test.
struct CurrentDirectory {
    std::wstring saved;
    explicit CurrentDirectory(const std::wstring& path) {
        std::vector<wchar_t> buffer(32768);
        GetCurrentDirectoryW(32768, buffer.data());
        saved = buffer.data();
        SetCurrentDirectoryW(path.c_str());
    }
    ~CurrentDirectory() { SetCurrentDirectoryW(saved.c_str()); }
};

