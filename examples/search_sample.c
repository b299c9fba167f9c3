/* Prints the library version and searches the bundled sample text. */
#include <stdio.h>
#include <stdlib.h>

#include "qelch.h"

int main(int argc, char** argv) {
    const char* path = argc > 1 ? argv[1] : QELCH_SAMPLE_TEXT;
    const QelLibraryVersion* v = qelchGetLibVersion();
    printf("%s %s, built %s\n", v->name, v->versionText, v->buildDate);

    FILE* f = fopen(path, "rb");
    if (!f) { fprintf(stderr, "cannot open %s\n", path); return 2; }
    static Qel8u text[1 << 20];
    int32_t len = (int32_t)fread(text, 1, sizeof text, f);
    fclose(f);
    printf("%s: %d bytes\n", path, (int)len);

    /* Count lines: step from one newline to the next. */
    int32_t lines = 0, at = 0, idx = 0;
    while (at < len && qelsFindC_8u(text + at, len - at, '\n', &idx) == qelOk && idx >= 0) {
        ++lines;
        at += idx + 1;
    }
    printf("lines: %d\n", (int)lines);

    /* First and last occurrence of a word. */
    static const Qel8u word[] = "season";
    int32_t first = -1, last = -1;
    qelsFind_8u(text, len, word, 6, &first);
    qelsFindRev_8u(text, len, word, 6, &last);
    printf("\"season\": first at %d, last at %d\n", (int)first, (int)last);
    return 0;
}
