// Frame services: version record, memory wrappers, copy/move/fill size paths.
#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <vector>

#include "frame/frame.h"
#include "qelcore.h"
#include "support/guard.h"
#include "support/random.h"

namespace {

TEST(Version, ConstantRecord) {
    const QelLibraryVersion* v = qelchGetLibVersion();
    ASSERT_EQ(v, qelchGetLibVersion());
    EXPECT_EQ(v->major, 7);
    EXPECT_EQ(v->minor, 1);
    EXPECT_EQ(v->update, 1);
    EXPECT_EQ(v->revision, 37466);
    EXPECT_EQ(std::memcmp(v->targetCode, "z2\0\0", 4), 0);
    EXPECT_STREQ(v->name, "qelCH AVX2 (z2)");
    EXPECT_STREQ(v->versionText, "7.1.1 (r37466)");
    EXPECT_STREQ(v->buildDate, "Sep 24 2012");
}

TEST(Memory, NonPositiveCountNeverReachesCore) {
    qelcoreCtlReset();
    EXPECT_EQ(qel::own_alloc(0), nullptr);
    EXPECT_EQ(qel::own_alloc(-5), nullptr);
    EXPECT_EQ(qelcoreCtlCallCount(QELCORE_CALL_MALLOC), 0);
    void* p = qel::own_alloc(100);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 64, 0u);
    qel::own_free(p);
    EXPECT_EQ(qelcoreCtlCallCount(QELCORE_CALL_MALLOC), 1);
    EXPECT_EQ(qelcoreCtlCallCount(QELCORE_CALL_FREE), 1);
    qelcoreCtlFailAllocationsAfter(0);
    EXPECT_EQ(qel::own_alloc(100), nullptr);
    qelcoreCtlReset();
}

TEST(Memory, FeatureQuestionAskedEveryTime) {
    qelcoreCtlReset();
    qelcoreCtlForceFeature(QELCORE_FEATURE_OFF);
    EXPECT_FALSE(qel::own_has_sse42());
    qelcoreCtlForceFeature(QELCORE_FEATURE_ON);
    EXPECT_TRUE(qel::own_has_sse42());
    EXPECT_EQ(qelcoreCtlCallCount(QELCORE_CALL_GET_FEATURE), 2);
    qelcoreCtlReset();
}

// Sizes around every path boundary of the copy and move kernels.
std::vector<size_t> copy_sizes() {
    std::vector<size_t> s;
    for (size_t n = 1; n <= 300; ++n) s.push_back(n);
    for (size_t n : {1000u, 4095u, 32767u, 32768u, 32769u, 40000u, 100003u}) s.push_back(n);
    return s;
}

TEST(Copy, AllSizePathsAndRelativeAlignments) {
    auto src = qeltest::random_units<uint8_t>(100003 + 64, 1);
    for (size_t n : copy_sizes()) {
        for (size_t sa : {0u, 1u, 3u, 8u}) {
            for (size_t da : {0u, 1u, 2u, 4u, 31u}) {
                if (n > 1000 && (sa + da) % 3) continue;  // keep the large cases cheap
                qeltest::GuardedRegion out(n + da);
                uint8_t* d = out.tail<uint8_t>(n);
                ASSERT_EQ(qel::copy_8u(src.data() + sa, d, static_cast<int32_t>(n)), qelOk);
                ASSERT_EQ(std::memcmp(d, src.data() + sa, n), 0) << "n=" << n << " sa=" << sa << " da=" << da;
            }
        }
    }
}

TEST(Copy, GuardedOnBothSides) {
    auto v = qeltest::random_units<uint8_t>(40000, 2);
    for (size_t n : {5u, 130u, 250u, 40000u}) {
        std::vector<uint8_t> part(v.begin(), v.begin() + static_cast<long>(n));
        qeltest::Guarded<uint8_t> s(part, false);
        qeltest::GuardedRegion out(n);
        qel::copy_8u(s.data(), out.tail<uint8_t>(n), static_cast<int32_t>(n));
        EXPECT_EQ(std::memcmp(out.tail<uint8_t>(n), part.data(), n), 0);
        qeltest::Guarded<uint8_t> s2(part, true);
        qel::copy_8u(s2.data(), out.head<uint8_t>(n), static_cast<int32_t>(n));
        EXPECT_EQ(std::memcmp(out.head<uint8_t>(n), part.data(), n), 0);
    }
}

TEST(Move, OverlapInBothDirections) {
    for (size_t n : copy_sizes()) {
        for (long shift : {-33L, -1L, 1L, 7L, 64L, 200L}) {
            std::vector<uint8_t> buf = qeltest::random_units<uint8_t>(n + 512, static_cast<uint32_t>(n));
            std::vector<uint8_t> want = buf;
            uint8_t* s = buf.data() + 256;
            std::memmove(want.data() + 256 + shift, want.data() + 256, n);
            qel::move_8u(s, s + shift, static_cast<int32_t>(n));
            ASSERT_EQ(buf, want) << "n=" << n << " shift=" << shift;
        }
    }
}

TEST(Move, SixteenBitUnits) {
    std::vector<uint16_t> buf(5000);
    std::iota(buf.begin(), buf.end(), 0);
    std::vector<uint16_t> want = buf;
    std::memmove(want.data() + 3, want.data(), 4000 * 2);
    qel::move_16u(buf.data(), buf.data() + 3, 4000);
    EXPECT_EQ(buf, want);
}

TEST(Copy, SixteenBitChunkPlanCoversEveryByteWithinRange) {
    for (int32_t units : {1, 1000, 0x3FFFFFFF, 0x40000000, 0x40000001, 0x5FFFFFFF, 0x7FFFFFF0, 0x7FFFFFFF}) {
        int64_t chunks[8];
        int k = qel::copy_16u_chunk_plan(units, chunks, 8);
        int64_t total = 0;
        for (int i = 0; i < k; ++i) {
            EXPECT_GT(chunks[i], 0);
            EXPECT_LE(chunks[i], 0x7FFFFFFF);
            EXPECT_EQ(chunks[i] % 2, 0);
            total += chunks[i];
        }
        EXPECT_EQ(total, int64_t(units) * 2) << units;
        EXPECT_EQ(k > 1, units >= 0x40000000) << units;
    }
}

TEST(Copy, ErrorsWriteNothing) {
    uint8_t a[4] = {1, 2, 3, 4}, b[4] = {9, 9, 9, 9};
    EXPECT_EQ(qel::copy_8u(nullptr, b, -1), qelErrNullPtr);
    EXPECT_EQ(qel::copy_8u(a, b, 0), qelErrSize);
    EXPECT_EQ(qel::move_16u(nullptr, nullptr, 3), qelErrNullPtr);
    EXPECT_EQ(qel::zero_fill(b, -3), qelErrSize);
    EXPECT_EQ(b[0], 9);
}

TEST(ZeroFill, EverySizePath) {
    for (size_t n : {1u, 31u, 255u, 256u, 257u, 1000u, 32767u, 32768u + 40u, 70001u}) {
        for (size_t off : {0u, 1u, 17u}) {
            std::vector<uint8_t> buf(n + 64, 0xAB);
            qel::zero_fill(buf.data() + off, static_cast<int32_t>(n));
            for (size_t i = 0; i < buf.size(); ++i)
                ASSERT_EQ(buf[i], (i >= off && i < off + n) ? 0 : 0xAB) << "n=" << n << " off=" << off << " i=" << i;
        }
    }
}

TEST(ZeroFill, ThreeMiBWithCacheQuerySucceedingAndFailing) {
    const size_t n = 3u << 20;
    // A 1 MiB cache makes the successful query choose the streaming stores.
    for (int fail : {0, 1}) {
        qelcoreCtlReset();
        qelcoreCtlSetCacheSize(1 << 20);
        qelcoreCtlFailCacheQuery(fail);
        qeltest::GuardedRegion r(n + 8);
        uint8_t* p = r.tail<uint8_t>(n + 8) + 3;
        std::memset(r.tail<uint8_t>(n + 8), 0xCD, n + 8);
        qel::zero_fill(p, static_cast<int32_t>(n));
        EXPECT_EQ(qelcoreCtlCallCount(QELCORE_CALL_CACHE_SIZE), 1);
        EXPECT_EQ(p[-1], 0xCD);
        EXPECT_EQ(p[n], 0xCD);
        size_t nonzero = 0;
        for (size_t i = 0; i < n; ++i) nonzero += p[i] != 0;
        EXPECT_EQ(nonzero, 0u) << "fail=" << fail;
    }
    qelcoreCtlReset();
}

}  // namespace
