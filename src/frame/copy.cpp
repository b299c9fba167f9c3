// Copy, move and zero-fill kernels.
//
// Small and medium sizes use 16/32-byte vector moves whose pieces are chosen
// by the bits of the count, so no load or store ever leaves [dst, dst+n) or
// [src, src+n). From 32 KiB the string-move instructions win: the processor's
// fast-string microcode moves whole lines, with the widest unit that the
// relative alignment of the two buffers allows. Large zero fills that do not
// fit in the cache use non-temporal stores so they do not evict it.
#include <immintrin.h>

#include <cstring>

#include "frame/frame.h"
#include "qelcore.h"

namespace qel {
namespace {

constexpr size_t kStringMoveFrom = 32768;    // below: vector blocks are faster
constexpr size_t kBlockCopyFrom = 128;       // below: copy by the bits of n
constexpr size_t kAlignedCopyFrom = 225;     // from here aligning dst pays off
constexpr size_t kNonTemporalFrom = 0x200000;  // fills above 2 MiB may bypass cache
constexpr size_t kFillBlocksFrom = 256;

// Fixed-size piece: all loads happen before any store, so a piece is correct
// for overlapping buffers in either direction.
template <size_t N>
inline void piece(const uint8_t* s, uint8_t* d) {
    if constexpr (N == 64) {
        __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s));
        __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + 32));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(d), a);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + 32), b);
    } else if constexpr (N == 32) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(d), _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s)));
    } else if constexpr (N == 16) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d), _mm_loadu_si128(reinterpret_cast<const __m128i*>(s)));
    } else {
        uint8_t t[N];
        std::memcpy(t, s, N);
        std::memcpy(d, t, N);
    }
}

inline void forward_by_bits(const uint8_t* s, uint8_t* d, size_t n) {
    if (n & 64) { piece<64>(s, d); s += 64; d += 64; }
    if (n & 32) { piece<32>(s, d); s += 32; d += 32; }
    if (n & 16) { piece<16>(s, d); s += 16; d += 16; }
    if (n & 8) { piece<8>(s, d); s += 8; d += 8; }
    if (n & 4) { piece<4>(s, d); s += 4; d += 4; }
    if (n & 2) { piece<2>(s, d); s += 2; d += 2; }
    if (n & 1) *d = *s;
}

// Pieces taken from the end downwards, for moves with src below dst.
inline void backward_by_bits(const uint8_t* se, uint8_t* de, size_t n, size_t from_bit) {
    for (size_t bit = from_bit; bit; bit >>= 1) {
        if (!(n & bit)) continue;
        se -= bit;
        de -= bit;
        switch (bit) {
            case 64: piece<64>(se, de); break;
            case 32: piece<32>(se, de); break;
            case 16: piece<16>(se, de); break;
            case 8: piece<8>(se, de); break;
            case 4: piece<4>(se, de); break;
            case 2: piece<2>(se, de); break;
            default: *de = *se; break;
        }
    }
}

template <class Unit>
inline void string_move(const uint8_t*& s, uint8_t*& d, size_t count) {
    if constexpr (sizeof(Unit) == 8) {
        asm volatile("cld\n\trep movsq" : "+S"(s), "+D"(d), "+c"(count) : : "memory");
    } else if constexpr (sizeof(Unit) == 4) {
        asm volatile("cld\n\trep movsl" : "+S"(s), "+D"(d), "+c"(count) : : "memory");
    } else if constexpr (sizeof(Unit) == 2) {
        asm volatile("cld\n\trep movsw" : "+S"(s), "+D"(d), "+c"(count) : : "memory");
    } else {
        asm volatile("cld\n\trep movsb" : "+S"(s), "+D"(d), "+c"(count) : : "memory");
    }
}

// Forward copy with string moves. The direction flag is clear on entry by the
// calling convention; `cld` makes that explicit and leaves it clear.
void copy_string_move(const uint8_t* s, uint8_t* d, size_t n) {
    uintptr_t rel = (reinterpret_cast<uintptr_t>(s) ^ reinterpret_cast<uintptr_t>(d));
    size_t unit = (rel & 7) == 0 ? 8 : (rel & 3) == 0 ? 4 : (rel & 1) == 0 ? 2 : 1;
    // Bring dst to the unit's alignment with 1, 2, 4 byte pieces.
    for (size_t step = 1; step < unit; step <<= 1) {
        if (reinterpret_cast<uintptr_t>(d) & step) {
            std::memmove(d, s, step);
            s += step; d += step; n -= step;
        }
    }
    size_t units = n / unit;
    switch (unit) {
        case 8: string_move<uint64_t>(s, d, units); break;
        case 4: string_move<uint32_t>(s, d, units); break;
        case 2: string_move<uint16_t>(s, d, units); break;
        default: string_move<uint8_t>(s, d, units); break;
    }
    n -= units * unit;
    if (n & 4) { piece<4>(s, d); s += 4; d += 4; }
    if (n & 2) { piece<2>(s, d); s += 2; d += 2; }
    if (n & 1) *d = *s;
}

void copy_forward(const uint8_t* s, uint8_t* d, size_t n) {
    if (n >= kStringMoveFrom) return copy_string_move(s, d, n);
    if (n < kBlockCopyFrom) return forward_by_bits(s, d, n);
    if (n >= kAlignedCopyFrom) {
        while (reinterpret_cast<uintptr_t>(d) & 31) { *d++ = *s++; --n; }
    }
    for (; n >= 64; n -= 64, s += 64, d += 64) piece<64>(s, d);
    for (; n >= 16; n -= 16, s += 16, d += 16) piece<16>(s, d);
    while (n--) *d++ = *s++;
}

void copy_backward(const uint8_t* s, uint8_t* d, size_t n) {
    const uint8_t* se = s + n;
    uint8_t* de = d + n;
    if (n < kBlockCopyFrom) return backward_by_bits(se, de, n, 64);
    size_t mis = reinterpret_cast<uintptr_t>(de) & 31;
    backward_by_bits(se, de, mis, 16);
    se -= mis; de -= mis; n -= mis;
    for (; n >= 128; n -= 128) {
        se -= 128; de -= 128;
        __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(se));
        __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(se + 32));
        __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(se + 64));
        __m256i e = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(se + 96));
        _mm256_store_si256(reinterpret_cast<__m256i*>(de + 96), e);
        _mm256_store_si256(reinterpret_cast<__m256i*>(de + 64), c);
        _mm256_store_si256(reinterpret_cast<__m256i*>(de + 32), b);
        _mm256_store_si256(reinterpret_cast<__m256i*>(de), a);
    }
    backward_by_bits(se, de, n, 64);
}

inline void store32(uint8_t* d, __m256i z) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(d), z); }

inline void zero_by_bits(uint8_t* d, size_t n) {
    const __m256i z = _mm256_setzero_si256();
    if (n & 128) { store32(d, z); store32(d + 32, z); store32(d + 64, z); store32(d + 96, z); d += 128; }
    if (n & 64) { store32(d, z); store32(d + 32, z); d += 64; }
    if (n & 32) { store32(d, z); d += 32; }
    if (n & 16) { _mm_storeu_si128(reinterpret_cast<__m128i*>(d), _mm_setzero_si128()); d += 16; }
    if (n & 8) { std::memset(d, 0, 8); d += 8; }
    if (n & 4) { std::memset(d, 0, 4); d += 4; }
    if (n & 2) { std::memset(d, 0, 2); d += 2; }
    if (n & 1) *d = 0;
}

void zero_cached(uint8_t* d, size_t n) {
    if (n < kFillBlocksFrom) return zero_by_bits(d, n);
    const __m256i z = _mm256_setzero_si256();
    store32(d, z);
    size_t skip = 32 - (reinterpret_cast<uintptr_t>(d) & 31);
    d += skip;
    n -= skip;
    if (n >= kStringMoveFrom) {
        // Downwards from the end in aligned 64-byte blocks; a ragged end is
        // cleared first with two unaligned stores.
        if (n % 64) { store32(d + n - 64, z); store32(d + n - 32, z); }
        for (size_t off = n & ~size_t(63); off; off -= 64) {
            _mm256_store_si256(reinterpret_cast<__m256i*>(d + off - 64), z);
            _mm256_store_si256(reinterpret_cast<__m256i*>(d + off - 32), z);
        }
        return;
    }
    for (; n >= 256; n -= 256, d += 256) {
        for (int i = 0; i < 256; i += 32) _mm256_store_si256(reinterpret_cast<__m256i*>(d + i), z);
    }
    zero_by_bits(d, n);
}

void zero_streaming(uint8_t* d, size_t n) {
    const __m256i z = _mm256_setzero_si256();
    store32(d, z);
    store32(d + 32, z);
    size_t skip = 64 - (reinterpret_cast<uintptr_t>(d) & 63);
    d += skip;
    n -= skip;
    for (; n >= 64; n -= 64, d += 64) {
        _mm256_stream_si256(reinterpret_cast<__m256i*>(d), z);
        _mm256_stream_si256(reinterpret_cast<__m256i*>(d + 32), z);
    }
    if (n & 32) { _mm256_stream_si256(reinterpret_cast<__m256i*>(d), z); d += 32; }
    if (n & 16) { _mm_stream_si128(reinterpret_cast<__m128i*>(d), _mm_setzero_si128()); d += 16; }
    _mm_sfence();
    if (n & 8) { std::memset(d, 0, 8); d += 8; }
    if (n & 4) { std::memset(d, 0, 4); d += 4; }
    if (n & 2) { std::memset(d, 0, 2); d += 2; }
    if (n & 1) *d = 0;
}

}  // namespace

void copy_bytes(const void* src, void* dst, size_t n) {
    copy_forward(static_cast<const uint8_t*>(src), static_cast<uint8_t*>(dst), n);
}

void move_bytes(const void* src, void* dst, size_t n) {
    auto s = static_cast<const uint8_t*>(src);
    auto d = static_cast<uint8_t*>(dst);
    if (s < d) copy_backward(s, d, n);
    else copy_forward(s, d, n);
}

void zero_bytes(void* dst, size_t n) {
    auto d = static_cast<uint8_t*>(dst);
    if (n > kNonTemporalFrom) {
        int32_t cache = 0;
        if (qelGetMaxCacheSizeB(&cache) == 0 && cache > 0 && n > static_cast<size_t>(cache))
            return zero_streaming(d, n);
    }
    zero_cached(d, n);
}

int copy_16u_chunk_plan(int32_t units, int64_t* chunks, int max) {
    int k = 0;
    int64_t left = units;
    if (left >= 0x40000000) {
        while (left > 0x3FFFFFFF && k < max) {
            chunks[k++] = kCopy16ChunkBytes;
            left -= kCopy16ChunkBytes / 2;
        }
    }
    if (left > 0 && k < max) chunks[k++] = left * 2;
    return k;
}

QelStatus copy_8u(const Qel8u* src, Qel8u* dst, int32_t count) {
    if (any_null(src, dst)) return qelErrNullPtr;
    if (count < 1) return qelErrSize;
    copy_bytes(src, dst, static_cast<size_t>(count));
    return qelOk;
}

QelStatus copy_16u(const Qel16u* src, Qel16u* dst, int32_t count) {
    if (any_null(src, dst)) return qelErrNullPtr;
    if (count < 1) return qelErrSize;
    int64_t chunks[4];
    int k = copy_16u_chunk_plan(count, chunks, 4);
    auto s = reinterpret_cast<const uint8_t*>(src);
    auto d = reinterpret_cast<uint8_t*>(dst);
    for (int i = 0; i < k; ++i) {
        copy_bytes(s, d, static_cast<size_t>(chunks[i]));
        s += chunks[i];
        d += chunks[i];
    }
    return qelOk;
}

QelStatus move_8u(const Qel8u* src, Qel8u* dst, int32_t count) {
    if (any_null(src, dst)) return qelErrNullPtr;
    if (count < 1) return qelErrSize;
    move_bytes(src, dst, static_cast<size_t>(count));
    return qelOk;
}

QelStatus move_16u(const Qel16u* src, Qel16u* dst, int32_t count) {
    if (any_null(src, dst)) return qelErrNullPtr;
    if (count < 1) return qelErrSize;
    move_bytes(src, dst, static_cast<size_t>(count) * 2);
    return qelOk;
}

QelStatus zero_fill(void* dst, int32_t bytes) {
    if (dst == nullptr) return qelErrNullPtr;
    if (bytes < 1) return qelErrSize;
    zero_bytes(dst, static_cast<size_t>(bytes));
    return qelOk;
}

}  // namespace qel
