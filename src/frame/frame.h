// Services every kernel family shares: argument checks in the library's fixed
// order, memory through the core library, the per-call SSE4.2 question, and
// the copy, move and zero-fill kernels.
#ifndef QELCH_FRAME_H
#define QELCH_FRAME_H

#include <cstddef>
#include <cstdint>

#include "frame/unaligned.h"
#include "qelch.h"

namespace qel {

// ---- Argument checks (pointers, then lengths/indices, then counts, then
// values). Exported functions return the first failing check's status. ----
template <class... P>
inline bool any_null(const P*... p) {
    return ((p == nullptr) || ...);
}
template <class... L>
inline bool any_negative(L... len) {
    return ((len < 0) || ...);
}

// Exported entry points whose short calls are timed against their peers
// start on a cache line: where the short paths fall against line and
// fetch-window boundaries moves a short call by 10%, and without this it
// changes with every edit elsewhere in the library.
#define QEL_LINE_ALIGNED [[gnu::aligned(64)]]

// ---- Memory: the only allocation path of the library. ----
// Count below 1 gives null without asking the core library.
void* own_alloc(int32_t bytes);
void own_free(void* ptr);

// Asks the core library, on every call, whether the SSE4.2 string-compare
// instructions may be used. Never cached: tests and hosts may change the answer.
bool own_has_sse42();

// ---- Copy, move, fill. Counts below 1 give qelErrSize, null qelErrNullPtr;
// no caller looks at the status, but the checks keep a bad call harmless. ----
QelStatus copy_8u(const Qel8u* src, Qel8u* dst, int32_t count);
QelStatus copy_16u(const Qel16u* src, Qel16u* dst, int32_t count);
QelStatus move_8u(const Qel8u* src, Qel8u* dst, int32_t count);
QelStatus move_16u(const Qel16u* src, Qel16u* dst, int32_t count);
QelStatus zero_fill(void* dst, int32_t bytes);

// Byte kernels behind the services, on size_t counts (no checks).
void copy_bytes(const void* src, void* dst, size_t n);
void move_bytes(const void* src, void* dst, size_t n);
void zero_bytes(void* dst, size_t n);

// The 16-bit copy doubles its count to bytes; a count of 2^30 units or more
// is split into chunks of kCopy16ChunkBytes so each byte count stays within
// the signed 32-bit range. Writes the chunk sizes (bytes) to `chunks` (room
// for `max`), returns how many there are.
constexpr int32_t kCopy16ChunkBytes = 0x7FFFFFE0;
int copy_16u_chunk_plan(int32_t units, int64_t* chunks, int max);

}  // namespace qel

#endif
