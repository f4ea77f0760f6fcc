// The plug-in as the host keeps it: Bytora.dll loaded once, its command called
// again and again in one process with a tail, standard input and output
// redirected for each call and the host's flush after it, then shut down and
// unloaded (and loaded again). What the process holds is measured between
// calls: handles, threads, heap blocks and bytes, temporary files, and the
// threads that run the plug-in's own code.
#pragma once
#include <windows.h>
#include <string>

struct Session {
    HMODULE plugin = nullptr;
    int (*command)(wchar_t*) = nullptr;
    int (*shutdown)(int) = nullptr;

    // Loads the plug-in beside this program and starts it as the host does:
    // GetPluginInfo, then InitializePlugin. False when it cannot.
    bool Load();
    // ShutdownPlugin, then FreeLibrary. True when nothing of the plug-in's
    // is left in the process within waitMs (its module unloaded: a thread
    // of its own holds it loaded while it runs).
    bool Unload(DWORD waitMs = 1000);
};

struct CommandRun {
    int result;
    std::string out, err;  // standard output and error, bytes as written
    DWORD ms;              // how long the call took
    // From the Ctrl-C reaching the process (which may be late on a busy
    // machine; where the plug-in's handler, installed during the call, took it
    // first: from its raising) to the call's return; -1 without a Ctrl-C.
    long sinceBreakMs = -1;
};

// Runs the command once with tail. Standard input is a fresh pipe holding
// stdinBytes (ended), or with endless set one that never ends while the call
// runs; breakAfterMs > 0 raises Ctrl-C at the console that long into the call.
CommandRun RunCommand(Session& session, const std::wstring& tail, const std::string& stdinBytes = "",
                      DWORD breakAfterMs = 0, bool endless = false);

// What the process holds.
struct Holdings {
    long handles = 0, threads = 0, heapBlocks = 0;
    long long heapBytes = 0;
    long tempFiles = 0;      // MMF*.tmp and Bytora-*.tmp in the temporary folder
    long pluginThreads = 0;  // threads started at code of Bytora.dll
};
Holdings Measure(HMODULE plugin);

// Waits up to ms for the plug-in's own threads to end; the number still running.
long AwaitPluginThreads(HMODULE plugin, DWORD ms);

// Gives the process a console of its own (without a terminal Wine gives it
// none that takes Ctrl-C) and a handler that keeps a Ctrl-C from ending it,
// as the host has. False when there is no console to be had.
bool OwnConsole();

// The inputs of the commands: a folder with a file, a tree, 40 small files,
// a list of names; the clipboard holds a line of text. Removed again with the fixture.
struct Fixture {
    std::wstring dir;
    bool Build();
    ~Fixture();
};

// scheme://127.0.0.1:port/path of one of the loopback servers (their ports
// come from the environment, as tests/url/run.sh sets them).
std::wstring ServerUrl(const wchar_t* scheme, const char* server, const wchar_t* path);
