// A pattern compiled into a state the library allocates, released on scope
// exit; the subject format is set right after the compile (1 = UTF-8).
#ifndef QELCH_TESTS_SUPPORT_REGEX_COMPILED_H
#define QELCH_TESTS_SUPPORT_REGEX_COMPILED_H

#include <string>

#include "qelch.h"

namespace qeltest {

struct Compiled {
    QelRegExpState* state = nullptr;
    QelStatus status = qelOk;
    Compiled(const std::string& pattern, const char* options, int format = 1) {
        int32_t errOffset = 0;
        status = qelsRegExpInitAlloc(pattern.c_str(), options, &state, &errOffset);
        if (status == qelOk) qelsRegExpSetFormat(format, state);
    }
    ~Compiled() {
        if (state) qelsRegExpFree(state);
    }
    Compiled(const Compiled&) = delete;
    Compiled& operator=(const Compiled&) = delete;
};

}  // namespace qeltest

#endif
