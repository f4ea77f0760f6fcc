// The per-file test of the range list, and its release.
#include "filesel/FileSel.h"
#include <cstdlib>

int MatchRanges(const WIN32_FIND_DATAW* entry, const wchar_t* directory, Range* ranges) {
    if (!entry || !directory) return -1;
    for (const Range* node = ranges; node; node = node->next) {
        switch (node->type) {
        default:
            // No range variant is judged here yet. A filter that cannot be
            // judged drops the file rather than pass what the user excluded.
            return 1;
        }
    }
    return 0;
}

void FreeRanges(Range* list) {
    while (list) {
        Range* next = list->next;
        std::free(list);
        list = next;
    }
}
