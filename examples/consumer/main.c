/* Uses an installed qelch: prints the version and the position of a byte. */
#include <stdio.h>

#include <qelch.h>

int main(void) {
    const QelLibraryVersion* v = qelchGetLibVersion();
    printf("linked against %s (%s)\n", v->name, v->versionText);
    return v->major == 7 ? 0 : 1;
}
