// The core services qelch stands on: allocation, processor-feature answers,
// the largest cache size and the thread count. This is a small library of its
// own (libqelcore.so); libqelch links to it and calls nothing else in it.
//
// Besides the six services it offers a test-and-benchmark control interface
// (the qelcoreCtl* functions): force the feature answer, set the thread
// count, make allocations or the cache query fail, and count calls. The
// controls are process-wide and thread-safe; they exist so that tests can
// drive every dispatch path of qelch on any machine.
#ifndef QELCORE_H
#define QELCORE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define QELCORE_API __attribute__((visibility("default")))

// Feature mask bit for the SSE4.2 string-compare instructions.
#define QELCORE_FEATURE_SSE42 0x80u

// 64-byte aligned block of at least `size` bytes, or null (also for size < 1).
QELCORE_API void* qelMalloc(int32_t size);
// Releases a block from qelMalloc; null is accepted and ignored.
QELCORE_API void qelFree(void* ptr);
// Non-zero when every feature in `mask` is available (CPUID, or the forced answer).
QELCORE_API int32_t ownGetFeature(uint32_t mask);
// Largest cache size in bytes; returns 0 on success, non-zero on failure.
QELCORE_API int32_t qelGetMaxCacheSizeB(int32_t* size);
// Threads qelch may use, at least 1 (hardware threads unless set by control).
QELCORE_API int32_t ownGetNumThreads(void);
// The processor's feature mask (bit 0x80 = SSE4.2, 0x100 = AVX2, ...).
QELCORE_API uint64_t qelGetEnabledCpuFeatures(void);

// ---- Control interface for tests and benchmarks ----
enum {
    QELCORE_FEATURE_NATURAL = -1,  // answer from CPUID
    QELCORE_FEATURE_OFF = 0,       // answer 0 to every feature question
    QELCORE_FEATURE_ON = 1         // answer non-zero to every feature question
};
QELCORE_API void qelcoreCtlForceFeature(int32_t mode);
// n >= 1 fixes the thread count; n <= 0 returns to the hardware count.
QELCORE_API void qelcoreCtlSetNumThreads(int32_t n);
// Let `okCount` more allocations succeed, then fail every one; -1 = never fail.
QELCORE_API void qelcoreCtlFailAllocationsAfter(int32_t okCount);
// Non-zero makes qelGetMaxCacheSizeB fail.
QELCORE_API void qelcoreCtlFailCacheQuery(int32_t fail);
// bytes >= 1 fixes the reported cache size; bytes <= 0 returns to the real one.
QELCORE_API void qelcoreCtlSetCacheSize(int32_t bytes);

typedef enum {
    QELCORE_CALL_MALLOC = 0,
    QELCORE_CALL_FREE,
    QELCORE_CALL_GET_FEATURE,
    QELCORE_CALL_CACHE_SIZE,
    QELCORE_CALL_NUM_THREADS,
    QELCORE_CALL_CPU_FEATURES,
    QELCORE_CALL_KINDS
} QelcoreCall;
QELCORE_API int64_t qelcoreCtlCallCount(QelcoreCall which);
// Resets the counters and every control to its natural setting.
QELCORE_API void qelcoreCtlReset(void);

#ifdef __cplusplus
}
#endif

#endif
