// The plug-in DLL exports exactly its entry points by name and imports the
// host services from TakeCmd.dll.
#include <gtest/gtest.h>
#include <windows.h>
#include <algorithm>
#include <set>
#include <string>
#include "TestSupport.h"

namespace {

struct PeImage {
    std::string bytes;
    const IMAGE_NT_HEADERS64* nt = nullptr;

    bool Load(const std::wstring& path) {
        bytes = ReadBytes(path);
        if (bytes.size() < sizeof(IMAGE_DOS_HEADER)) return false;
        auto dos = (const IMAGE_DOS_HEADER*)bytes.data();
        if (dos->e_magic != IMAGE_DOS_SIGNATURE) return false;
        nt = (const IMAGE_NT_HEADERS64*)(bytes.data() + dos->e_lfanew);
        return nt->Signature == IMAGE_NT_SIGNATURE;
    }
    // File offset of a relative virtual address.
    const char* At(DWORD rva) const {
        auto section = IMAGE_FIRST_SECTION(nt);
        for (int i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
            if (rva >= section->VirtualAddress && rva < section->VirtualAddress + section->Misc.VirtualSize)
                return bytes.data() + section->PointerToRawData + (rva - section->VirtualAddress);
        }
        return nullptr;
    }
};

std::wstring BinFile(const wchar_t* name) {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring p(path);
    return p.substr(0, p.find_last_of(L'\\') + 1) + name;
}

TEST(ExportTableTest, ExportsExactlyTheEntryPoints) {
    PeImage pe;
    ASSERT_TRUE(pe.Load(BinFile(L"Bytora.dll")));
    auto& dir = pe.nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    ASSERT_NE(dir.VirtualAddress, 0u);
    auto exports = (const IMAGE_EXPORT_DIRECTORY*)pe.At(dir.VirtualAddress);
    ASSERT_NE(exports, nullptr);
    auto names = (const DWORD*)pe.At(exports->AddressOfNames);
    std::set<std::string> found;
    for (DWORD i = 0; i < exports->NumberOfNames; ++i) found.insert(pe.At(names[i]));
    std::set<std::string> expected{"GetPluginInfo", "InitializePlugin", "ShutdownPlugin", "Usage", "Help",
                                   "bytora",        "_clver",           "_fhver"};
    EXPECT_EQ(found, expected);
    EXPECT_EQ(exports->NumberOfFunctions, expected.size());
}

TEST(ExportTableTest, ImportsHostServicesFromTakeCmd) {
    PeImage pe;
    ASSERT_TRUE(pe.Load(BinFile(L"Bytora.dll")));
    auto& dir = pe.nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    auto desc = (const IMAGE_IMPORT_DESCRIPTOR*)pe.At(dir.VirtualAddress);
    ASSERT_NE(desc, nullptr);
    std::set<std::string> hostImports;
    bool sawHost = false;
    for (; desc->Name; ++desc) {
        std::string dll = pe.At(desc->Name);
        std::transform(dll.begin(), dll.end(), dll.begin(), ::tolower);
        EXPECT_TRUE(dll == "takecmd.dll" || dll.find("api-ms-") == 0 || dll == "kernel32.dll" || dll == "user32.dll" ||
                    dll == "advapi32.dll" || dll == "shell32.dll" || dll == "wininet.dll" || dll == "msvcrt.dll" ||
                    dll == "ole32.dll" || dll == "ws2_32.dll")
            << "unexpected dependency " << dll;
        if (dll != "takecmd.dll") continue;
        sawHost = true;
        auto thunk = (const IMAGE_THUNK_DATA64*)pe.At(desc->OriginalFirstThunk);
        for (; thunk && thunk->u1.AddressOfData; ++thunk) {
            auto byName = (const IMAGE_IMPORT_BY_NAME*)pe.At((DWORD)thunk->u1.AddressOfData);
            hostImports.insert((const char*)byName->Name);
        }
    }
    EXPECT_TRUE(sawHost);
    EXPECT_TRUE(hostImports.count("QPuts"));
    EXPECT_TRUE(hostImports.count("ExpandVariables"));
    EXPECT_TRUE(hostImports.count("Qprintf"));
}

}  // namespace
