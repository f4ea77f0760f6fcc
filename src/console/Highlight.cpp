// Console colours: the normal, highlight and contrast attributes of a run,
// the user's highlight setting, and the writers that switch between them.
#include "console/Console.h"
#include "plugin/Plugin.h"

#include <conio.h>
#include <cwchar>

uint8_t NormalAttr, HighlightAttr, ContrastAttr;
uint8_t InverseNormalAttr, InverseHighlightAttr, InverseContrastAttr;

// Indexed by the background colour the result has to stand out against.
const uint8_t PrimaryContrast[16] = {0x0F, 0x1F, 0x2F, 0x3F, 0x4F, 0x5F, 0x6F, 0x70,
                                     0x8F, 0x9F, 0xA0, 0xB0, 0xCF, 0xD0, 0xE0, 0xF2};
const uint8_t SecondaryContrast[16] = {0x0E, 0x1B, 0x2B, 0x3E, 0x4B, 0x5B, 0x6B, 0x79,
                                       0x8B, 0x9B, 0xA9, 0xB9, 0xC0, 0xDE, 0xEC, 0xF0};
const uint8_t TertiaryContrast[16] = {0x0B, 0x16, 0x20, 0x30, 0x40, 0x50, 0x60, 0x74,
                                      0x80, 0x90, 0xAF, 0xBF, 0xCD, 0xD6, 0xE4, 0xF4};

namespace {

constexpr size_t SettingUnits = 1024;
constexpr int NoBackgroundNamed = 64;

// Closes its registry key exactly once, whichever way the scope is left.
struct OwnedKey {
    HKEY key = nullptr;
    OwnedKey() = default;
    OwnedKey(const OwnedKey&) = delete;
    OwnedKey& operator=(const OwnedKey&) = delete;
    ~OwnedKey() { if (key) RegCloseKey(key); }
};

uint8_t SwapNibbles(int attribute) {
    return static_cast<uint8_t>(((attribute & 0x0F) << 4) | ((attribute >> 4) & 0x0F));
}

// The whole text as one hexadecimal number; false when it is not one.
bool ReadHexNumber(const wchar_t* text, uint32_t* value) {
    uint32_t v = 0;
    if (!*text) return false;
    for (; *text; ++text) {
        wchar_t ch = *text;
        uint32_t digit;
        if (ch >= L'0' && ch <= L'9') digit = ch - L'0';
        else if (ch >= L'a' && ch <= L'f') digit = ch - L'a' + 10;
        else if (ch >= L'A' && ch <= L'F') digit = ch - L'A' + 10;
        else return false;
        if (v > 0x0FFFFFFFu) return false;
        v = (v << 4) | digit;
    }
    *value = v;
    return true;
}

// A REG_SZ value "Highlight" under one key; false when missing, empty, of
// another type or too long.
bool ReadRegistrySetting(HKEY root, const wchar_t* path, wchar_t* text, size_t capacity) {
    OwnedKey owned;
    if (RegOpenKeyExW(root, path, 0, KEY_READ, &owned.key) != ERROR_SUCCESS) return false;
    // 2048 bytes at most, and room for a terminator the value may lack.
    wchar_t value[SettingUnits + 1];
    DWORD type = 0;
    DWORD size = SettingUnits * sizeof(wchar_t);
    if (RegQueryValueExW(owned.key, L"Highlight", nullptr, &type, reinterpret_cast<BYTE*>(value), &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ)
        return false;
    value[size / sizeof(wchar_t)] = L'\0';
    if (!value[0] || wcslen(value) >= capacity) return false;
    wcscpy(text, value);
    return true;
}

HANDLE StandardOutput() { return GetStdHandle(STD_OUTPUT_HANDLE); }

}  // namespace

bool NoColorRequested(void) {
    wchar_t value[SettingUnits];
    // A value too long for the buffer still counts as set.
    if (GetEnvironmentVariableW(L"NO_COLOR", value, SettingUnits) == 0) return false;
    return GetEnvironmentVariableW(L"Highlight", value, SettingUnits) == 0;
}

int FindHighlightSetting(wchar_t* text, size_t capacity) {
    if (!text || capacity == 0) return 0;
    text[0] = L'\0';
    DWORD length = GetEnvironmentVariableW(L"Highlight", text, static_cast<DWORD>(capacity));
    if (length >= capacity) {
        text[0] = L'\0';
        return -1;  // set, but not something a colour name could be
    }
    if (length > 0) return 1;

    wchar_t ownKey[64];
    FormatText(ownKey, 64, L"%s\\%s", L"SOFTWARE\\JPPlugins", PluginName);
    const struct {
        HKEY root;
        const wchar_t* path;
    } places[] = {
        {HKEY_CURRENT_USER, ownKey},
        {HKEY_LOCAL_MACHINE, ownKey},
        {HKEY_CURRENT_USER, L"SOFTWARE\\JPPlugins"},
        {HKEY_LOCAL_MACHINE, L"SOFTWARE\\JPPlugins"},
    };
    for (const auto& place : places)
        if (ReadRegistrySetting(place.root, place.path, text, capacity)) return 1;
    text[0] = L'\0';
    return 0;
}

int HighlightFor(int attribute, const wchar_t* setting, ColorParser parseColors) {
    const int a = attribute & 0xFF;
    const int fg = a & 0x0F;
    const int bg = (a >> 4) & 0x0F;
    if (fg == bg) return 0;

    if (!setting || !*setting) {
        // No preference: a brighter foreground, or a table colour where the
        // foreground is already bright or black.
        if ((bg & 8) || (fg & 8) || fg == 0)
            return PrimaryContrast[bg] != a ? PrimaryContrast[bg] : SecondaryContrast[bg];
        return a | 8;
    }

    int f = -1, b = -1;
    if (StartsWithNoCase(setting, L"inv")) {
        f = bg;
        b = a & 7;
    } else if (StartsWithNoCase(setting, L"0x")) {
        uint32_t v;
        if (ReadHexNumber(setting + 2, &v)) {
            f = static_cast<int>(v & 0x0F);
            b = static_cast<int>(v >> 4);
        }
    } else if (parseColors) {
        parseColors(setting, &f, &b);
    }

    if (b == NoBackgroundNamed) {
        if (f < 0) return 0;
        if (f <= 15) b = -1;
    }
    if (f < 0) return 0;
    if (b >= 0 && f != b && (f != fg || b != bg)) return ((b << 4) | f) & 0xFF;
    if (b == -1 && f != fg && f != bg) return (bg << 4) | (f & 0x0F);
    return 0;
}

int ContrastFor(int attribute, int highlight) {
    const int a = attribute & 0xFF;
    const int bg = (a >> 4) & 0x0F;
    const int h = highlight & 0xFF;
    if (PrimaryContrast[bg] != a && PrimaryContrast[bg] != h) return PrimaryContrast[bg];
    if (SecondaryContrast[bg] != a && SecondaryContrast[bg] != h) return SecondaryContrast[bg];
    return TertiaryContrast[bg];
}

int SetupHighlight(bool noHighlight) {
    NormalAttr = HighlightAttr = ContrastAttr = 0;
    InverseNormalAttr = InverseHighlightAttr = InverseContrastAttr = 0;

    DWORD mode;
    if (!GetConsoleMode(StandardOutput(), &mode)) return 0;
    // Windows Terminal may have dropped virtual-terminal processing since start-up.
    if (TerminalWindow && ConsoleOut && GetConsoleMode(ConsoleOut, &mode))
        SetConsoleMode(ConsoleOut, mode | ENABLE_PROCESSED_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
    if (noHighlight || NoColorRequested()) return 0;

    int a = 0, second = 0;
    GetAttribute(&a, &second);
    a &= 0xFF;

    wchar_t setting[SettingUnits];
    if (FindHighlightSetting(setting, SettingUnits) < 0) return 0;
    int h = HighlightFor(a, setting, ParseColors);
    if (h == 0) return 0;

    HighlightAttr = static_cast<uint8_t>(h);
    NormalAttr = static_cast<uint8_t>(a);
    InverseNormalAttr = SwapNibbles(a);
    InverseHighlightAttr = SwapNibbles(h);
    ContrastAttr = static_cast<uint8_t>(ContrastFor(a, h));
    InverseContrastAttr = SwapNibbles(ContrastAttr);
    return h;
}

int PutInAttribute(int attribute, const wchar_t* text) {
    if (!text) return -1;
    SetConsoleTextAttribute(StandardOutput(), static_cast<WORD>(attribute & 0xFF));
    _cputws(text);
    return 0;
}

void PutHighlighted(const wchar_t* text) {
    if (!NormalAttr) {
        if (text) QPuts(text);
        return;
    }
    HANDLE out = StandardOutput();
    SetConsoleTextAttribute(out, HighlightAttr);
    bool surrogate = !text;
    if (text) {
        _cputws(text);
        for (const wchar_t* p = text; *p && !surrogate; ++p) surrogate = *p >= 0xD800 && *p <= 0xDFFF;
    }
    // Some consoles leave the cell after a surrogate pair in the old colour
    // until something more is written there.
    if (surrogate) _cputws(L" \b");
    SetConsoleTextAttribute(out, NormalAttr);
    SetColors(NormalAttr);
}

int SetBreakAttribute(void) {
    CONSOLE_SCREEN_BUFFER_INFO info;
    int old = 0;
    if (ConsoleOut && GetConsoleScreenBufferInfo(ConsoleOut, &info)) old = info.wAttributes & 0xFF;
    if (old == 0) old = 7;
    // Without the console device there is nothing to switch back later, so
    // leave the colours alone rather than strand the host in the mark's colour.
    if (!ConsoleOut) return old;
    const int bg = (old >> 4) & 0x0F;
    const int mark = PrimaryContrast[bg] != old ? PrimaryContrast[bg] : SecondaryContrast[bg];
    SetConsoleTextAttribute(ConsoleOut, static_cast<WORD>(mark));
    SetColors(mark);
    return old;
}
