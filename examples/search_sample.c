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
    return 0;
}
