// Console output and paging library: colour attributes and highlight,
// the line-ending writer that pages and notices a break, the pause prompt.
#pragma once
#include <windows.h>
#include <cstdint>

// ---- Colours --------------------------------------------------------------
// Our colour-switch characters; the system's system-colour index of the same
// name is not used anywhere in the plug-in.
#undef COLOR_HIGHLIGHT
enum : wchar_t {
    COLOR_NORMAL = 0x11,
    COLOR_HIGHLIGHT = 0x12,
    COLOR_INVERSE = 0x13,
    COLOR_INVERSE_HIGHLIGHT = 0x14,
    COLOR_CONTRAST = 0x15,
    COLOR_INVERSE_CONTRAST = 0x16,
};
extern uint8_t NormalAttr, HighlightAttr, ContrastAttr;
extern uint8_t InverseNormalAttr, InverseHighlightAttr, InverseContrastAttr;
extern const uint8_t PrimaryContrast[16];
extern const uint8_t SecondaryContrast[16];
extern const uint8_t TertiaryContrast[16];

int SetupHighlight(bool noHighlight);       // highlight attribute, or 0 (colour off)
bool NoColorRequested(void);
void PutHighlighted(const wchar_t* text);
int PutInAttribute(int attribute, const wchar_t* text);
int SetBreakAttribute(void);

// The colour arithmetic of SetupHighlight, apart from the console and the
// environment. attribute: the console's colours; setting: the user's text
// (null or empty for the default); parseColors reads colour names (the
// host's ParseColors). Result: the highlight attribute, or 0 (colour off).
typedef int (*ColorParser)(const wchar_t* text, int* foreground, int* background);
int HighlightFor(int attribute, const wchar_t* setting, ColorParser parseColors);
// The contrast attribute that differs from both attribute and highlight.
int ContrastFor(int attribute, int highlight);
// The highlight setting: environment variable, else the registry values.
// 1 found, 0 none, -1 set but too long for the buffer.
int FindHighlightSetting(wchar_t* text, size_t capacity);

// ---- Paging ---------------------------------------------------------------
extern uint32_t PageLength;
extern uint32_t LinesLeft;
extern uint32_t PauseTimeMs;
void ResetPaging(void);                      // start of a run: all three to 0

int ParsePauseOption(wchar_t* argument, int32_t* pauseLines);
uint32_t SetPageLength(uint32_t lines);
int EndLine(const wchar_t* text, int count);  // 0, or -3 on a break or failed output
// EndLine for one line ending that went out in the same QPuts as its line
// (put: that call's result); only while colour is off, as EndLine then
// writes nothing before the ending. One host call per dump line, not two.
int EndWrittenLine(int put);

// The system's error code of the first write to standard output that failed
// in this run, 0 while all is well; once it is set EndLine stops the run. The
// command clears it at the start of every run.
extern uint32_t OutputError;
// After a host write reported failure: keeps its error (the last error) as
// OutputError unless one is kept already.
void NoteOutputFailure(void);
int WaitKey(void);
int PagedPrintf(const wchar_t* format, ...);
int PagedPrintfPlain(const wchar_t* format, va_list args);
void PollHotKeys(void);
int ParseUnsigned(const wchar_t* text, uint32_t* value, const wchar_t** end);
