// Fetching web and FTP addresses into a temporary file.
#include "input/Input.h"

// Downloads are not available yet: every address fails with -1 ("Unknown
// error") before anything is created, so no temporary file is ever left.
int DownloadUrl(const wchar_t* url, wchar_t* tempFileName) {
    (void)url;
    if (tempFileName) tempFileName[0] = 0;
    return -1;
}
