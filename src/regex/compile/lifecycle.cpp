// Exported life cycle of a compiled state: size, compile (into caller memory
// or a block from the core library), tune, release.
//
// The state size 48056 + 24 * length is a signed 32-bit count; a pattern too
// long for it is refused with qelErrLength before anything is written, so a
// size can never wrap into a block too small for the compiler.
#include <cstring>

#include "frame/frame.h"
#include "regex/compile/compiler.h"

using namespace qel::re;

namespace {

bool pattern_too_long(size_t len) { return len > kMaxPatternLength; }

int32_t state_size(size_t len) { return static_cast<int32_t>(state_size_for(static_cast<int64_t>(len))); }

}  // namespace

extern "C" {

QelStatus qelsRegExpGetSize(const char* pattern, int32_t* size) {
    if (qel::any_null(pattern, size)) return qelErrNullPtr;
    size_t len = std::strlen(pattern);
    if (pattern_too_long(len)) return qelErrLength;
    *size = state_size(len);
    return qelOk;
}

QelStatus qelsRegExpInit(const char* pattern, const char* options, QelRegExpState* state, int32_t* errOffset) {
    if (qel::any_null(pattern, state, errOffset)) return qelErrNullPtr;
    size_t len = std::strlen(pattern);
    if (pattern_too_long(len)) return qelErrLength;
    return compile_pattern(pattern, len, options, state, errOffset);
}

QelStatus qelsRegExpInitAlloc(const char* pattern, const char* options, QelRegExpState** state, int32_t* errOffset) {
    if (qel::any_null(state, pattern, errOffset)) return qelErrNullPtr;
    size_t len = std::strlen(pattern);
    if (pattern_too_long(len)) return qelErrLength;
    auto* block = static_cast<QelRegExpState*>(qel::own_alloc(state_size(len)));
    *state = block;
    if (!block) return qelErrNullPtr;
    QelStatus st = compile_pattern(pattern, len, options, block, errOffset);
    if (st != qelOk) {
        qel::own_free(block);
        *state = nullptr;
    }
    return st;
}

void qelsRegExpFree(QelRegExpState* state) { qel::own_free(state); }

// Pattern-set states come from the same allocator and are released the same way.
void qelsRegExpMultiFree(QelRegExpMultiState* multiState) {
    qelsRegExpFree(reinterpret_cast<QelRegExpState*>(multiState));
}

QelStatus qelsRegExpSetMatchLimit(int32_t limit, QelRegExpState* state) {
    if (qel::any_null(state)) return qelErrNullPtr;
    if (limit < 0) return qelErrLength;
    header(state)->matchLimit = limit;
    return qelOk;
}

QelStatus qelsRegExpSetFormat(int32_t format, QelRegExpState* state) {
    if (qel::any_null(state)) return qelErrNullPtr;
    if (format != 0 && format != 1) return qelErrRange;
    header(state)->format = format;
    return qelOk;
}

}  // extern "C"
