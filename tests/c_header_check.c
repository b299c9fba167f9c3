/* The public header used from plain C: types, constants and a call. */
#include <stdio.h>
#include <string.h>

#include "qelch.h"

int main(void) {
    const QelLibraryVersion* v = qelchGetLibVersion();
    QelRegExpFind rec = {0, -1};
    QelStatus st = qelOk;
    if (v == 0 || v->major != 7 || strcmp(v->versionText, "7.1.1 (r37466)") != 0) return 1;
    if (rec.length != -1 || st != 0 || qelErrRegExpOption != -190) return 1;
    printf("qelch %s\n", v->versionText);
    return 0;
}
