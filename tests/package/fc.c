/* "fc /b FILE1 FILE2" for the release test under Wine, whose own fc (Wine 8)
 * prints nothing and returns 0 for any two files. The exit codes are
 * Windows' fc's: 0 the same bytes, 1 different, 2 a file cannot be read. */
#include <stdio.h>
#include <string.h>

int main(int argc, char** argv) {
    if (argc != 4 || (strcmp(argv[1], "/b") != 0 && strcmp(argv[1], "/B") != 0)) {
        fprintf(stderr, "FC: usage: fc /b file1 file2\n");
        return 2;
    }
    FILE* a = fopen(argv[2], "rb");
    FILE* b = fopen(argv[3], "rb");
    int result = 2;
    if (a && b) {
        long offset = 0;
        int ca, cb;
        do {
            ca = getc(a);
            cb = getc(b);
        } while (ca == cb && ca != EOF && ++offset);
        result = ca == cb ? 0 : 1;
        printf(result ? "FC: the files differ at offset %ld\n" : "FC: no differences encountered\n", offset);
    } else {
        fprintf(stderr, "FC: cannot open %s\n", a ? argv[3] : argv[2]);
    }
    if (a) fclose(a);
    if (b) fclose(b);
    return result;
}
