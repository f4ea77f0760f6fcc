// The file-selection options ("/A", "/S", "/I" and the range options) are not
// built yet: every argument is left to the caller as a name or unknown option.
#include "filesel/FileSel.h"
int ParseFileSelectionOption(wchar_t* argument, uint32_t*, uint32_t*, uint32_t*, int32_t*, int32_t*, Range**) {
    (void)argument;
    return 0;
}
