// The least a dump of many files can cost under Wine: open, read and close
// each file named in a list (one full Windows path per line, UTF-8), nothing
// else. bench/selection.sh builds it and times it beside bytora.
#include <windows.h>
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    FILE* list = fopen(argv[1], "rb");
    if (!list) return 2;
    char line[4096];
    wchar_t name[4096];
    char buffer[65536];
    unsigned long long bytes = 0;
    while (fgets(line, sizeof line, list)) {
        line[strcspn(line, "\r\n")] = 0;
        if (!MultiByteToWideChar(CP_UTF8, 0, line, -1, name, 4096)) continue;
        HANDLE file = CreateFileW(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE) continue;
        DWORD got = 0;
        if (ReadFile(file, buffer, sizeof buffer, &got, nullptr)) bytes += got;
        CloseHandle(file);
    }
    fclose(list);
    printf("%llu\n", bytes);
    return 0;
}
