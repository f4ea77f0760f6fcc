// The plug-in's version, the one place it is written: the plug-in record, the
// load line, "/??", the download agent name, the version resources of the
// three binaries and the release's file name all take it from here. Plain
// #defines only, so that the resource compiler and CMake can read it too.
#pragma once

#define BYTORA_VERSION_MAJOR 0
#define BYTORA_VERSION_MINOR 96
#define BYTORA_VERSION_BUILD 9
// The fourth number: the build of this version. Only "/??" and the version
// resources show it.
#define BYTORA_VERSION_REVISION 1

#define BYTORA_VERSION_STRING_(n) #n
#define BYTORA_VERSION_STRING(n) BYTORA_VERSION_STRING_(n)
// "0.96.9.1"
#define BYTORA_VERSION_TEXT                                                                   \
    BYTORA_VERSION_STRING(BYTORA_VERSION_MAJOR) "." BYTORA_VERSION_STRING(BYTORA_VERSION_MINOR) \
    "." BYTORA_VERSION_STRING(BYTORA_VERSION_BUILD) "." BYTORA_VERSION_STRING(BYTORA_VERSION_REVISION)
