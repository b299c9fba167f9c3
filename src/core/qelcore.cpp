// Stand-in core library: real answers from the processor and the OS, plus the
// controls that let tests pin every answer. Everything here is process-wide
// and kept in atomics, so controls and services may race freely.
#include "qelcore.h"

#include <cpuid.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace {

std::atomic<int32_t> g_forced_feature{QELCORE_FEATURE_NATURAL};
std::atomic<int32_t> g_num_threads{0};
std::atomic<int32_t> g_alloc_ok_left{-1};
std::atomic<int32_t> g_fail_cache{0};
std::atomic<int32_t> g_cache_size{0};
std::atomic<int64_t> g_calls[QELCORE_CALL_KINDS];

void count(QelcoreCall c) { g_calls[c].fetch_add(1, std::memory_order_relaxed); }

uint64_t detect_features() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    uint64_t mask = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return 0;
    if (d & bit_SSE2) mask |= 0x04;
    if (c & bit_SSE3) mask |= 0x08;
    if (c & bit_SSSE3) mask |= 0x10;
    if (c & bit_SSE4_1) mask |= 0x40;
    if (c & bit_SSE4_2) mask |= QELCORE_FEATURE_SSE42;
    if (c & bit_POPCNT) mask |= 0x200;
    if (__get_cpuid_count(7, 0, &a, &b, &c, &d)) {
        if (b & bit_AVX2) mask |= 0x100;
        if (b & bit_BMI) mask |= 0x400;
        if (b & bit_BMI2) mask |= 0x800;
    }
    if (__get_cpuid(0x80000001, &a, &b, &c, &d) && (c & bit_LZCNT)) mask |= 0x1000;
    return mask;
}

// Largest cache from the deterministic cache parameters leaf (CPUID 4), with
// sysfs as the fallback for processors that do not report it.
int32_t largest_cache_bytes() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    uint64_t best = 0;
    if (__get_cpuid_max(0, nullptr) >= 4) {
        for (unsigned i = 0; i < 16; ++i) {
            __cpuid_count(4, i, a, b, c, d);
            if ((a & 0x1F) == 0) break;
            uint64_t ways = ((b >> 22) & 0x3FF) + 1, parts = ((b >> 12) & 0x3FF) + 1;
            uint64_t line = (b & 0xFFF) + 1, sets = uint64_t(c) + 1;
            uint64_t size = ways * parts * line * sets;
            if (size > best) best = size;
        }
    }
    for (int i = 0; best == 0 && i < 8; ++i) {
        char path[96];
        std::snprintf(path, sizeof path, "/sys/devices/system/cpu/cpu0/cache/index%d/size", i);
        if (FILE* f = std::fopen(path, "r")) {
            unsigned long v = 0;
            char unit = 0;
            if (std::fscanf(f, "%lu%c", &v, &unit) >= 1) {
                uint64_t s = v * (unit == 'K' ? 1024ull : unit == 'M' ? 1048576ull : 1ull);
                if (s > best) best = s;
            }
            std::fclose(f);
        }
    }
    if (best > 0x7FFFFFFF) best = 0x7FFFFFFF;
    return static_cast<int32_t>(best);
}

}  // namespace

extern "C" {

void* qelMalloc(int32_t size) {
    count(QELCORE_CALL_MALLOC);
    if (size < 1) return nullptr;
    int32_t left = g_alloc_ok_left.load();
    while (left >= 0) {
        if (left == 0) return nullptr;
        if (g_alloc_ok_left.compare_exchange_weak(left, left - 1)) break;
    }
    void* p = nullptr;
    if (posix_memalign(&p, 64, static_cast<size_t>(size)) != 0) return nullptr;
    return p;
}

void qelFree(void* ptr) {
    count(QELCORE_CALL_FREE);
    std::free(ptr);
}

int32_t ownGetFeature(uint32_t mask) {
    count(QELCORE_CALL_GET_FEATURE);
    int32_t forced = g_forced_feature.load(std::memory_order_relaxed);
    if (forced != QELCORE_FEATURE_NATURAL) return forced ? 1 : 0;
    static const uint64_t features = detect_features();
    return (features & mask) == mask ? 1 : 0;
}

int32_t qelGetMaxCacheSizeB(int32_t* size) {
    count(QELCORE_CALL_CACHE_SIZE);
    if (size == nullptr || g_fail_cache.load()) return -1;
    static const int32_t real_bytes = largest_cache_bytes();
    int32_t forced = g_cache_size.load();
    int32_t bytes = forced > 0 ? forced : real_bytes;
    if (bytes <= 0) return -1;
    *size = bytes;
    return 0;
}

int32_t ownGetNumThreads(void) {
    count(QELCORE_CALL_NUM_THREADS);
    int32_t n = g_num_threads.load(std::memory_order_relaxed);
    if (n >= 1) return n;
    // Asking the system reads files under /sys on every call, which costs
    // more than a short set search; the answer is kept after the first call.
    static std::atomic<int32_t> hw_threads{0};
    n = hw_threads.load(std::memory_order_relaxed);
    if (n >= 1) return n;
    long hw = sysconf(_SC_NPROCESSORS_ONLN);
    n = hw >= 1 ? static_cast<int32_t>(hw > 1024 ? 1024 : hw) : 1;
    hw_threads.store(n, std::memory_order_relaxed);
    return n;
}

uint64_t qelGetEnabledCpuFeatures(void) {
    count(QELCORE_CALL_CPU_FEATURES);
    return detect_features();
}

void qelcoreCtlForceFeature(int32_t mode) { g_forced_feature.store(mode < 0 ? -1 : (mode ? 1 : 0)); }
void qelcoreCtlSetNumThreads(int32_t n) { g_num_threads.store(n >= 1 ? n : 0); }
void qelcoreCtlFailAllocationsAfter(int32_t okCount) { g_alloc_ok_left.store(okCount < 0 ? -1 : okCount); }
void qelcoreCtlFailCacheQuery(int32_t fail) { g_fail_cache.store(fail ? 1 : 0); }
void qelcoreCtlSetCacheSize(int32_t bytes) { g_cache_size.store(bytes > 0 ? bytes : 0); }

int64_t qelcoreCtlCallCount(QelcoreCall which) {
    if (which < 0 || which >= QELCORE_CALL_KINDS) return -1;
    return g_calls[which].load();
}

void qelcoreCtlReset(void) {
    for (auto& c : g_calls) c.store(0);
    g_forced_feature.store(QELCORE_FEATURE_NATURAL);
    g_num_threads.store(0);
    g_alloc_ok_left.store(-1);
    g_fail_cache.store(0);
    g_cache_size.store(0);
}

}  // extern "C"
