// Exports of the stand-in host beyond the services the plug-in imports.
#pragma once
extern "C" {
// Writes out buffered standard output; the runner calls it after the command.
int HostFlush(void);
}
