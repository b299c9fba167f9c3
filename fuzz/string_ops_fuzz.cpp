// Differential fuzz target for the search, trim and split primitives: every
// result is compared with a plain loop written here. Strings sit flush
// against a guard page (trailing or leading, by a control bit), outputs are
// exactly as large as what the function may write, and the set kernels run
// with the processor-feature answer forced both ways.
//
// Input: byte 0 the unit to search for / trim / split at, byte 1 flags
// (bit 0 placement, bits 4-6 split slot count), then a field ended by a zero
// byte (substring, set, and split slot rooms), then the string. The 16-bit
// forms read the same bytes as little-endian units.
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "qelch.h"
#include "qelcore.h"

using qelfuzz::PageGuard;

namespace {

template <class T>
struct Buf {
    std::unique_ptr<PageGuard> guard;
    T* p;
    size_t n;
    Buf(const std::vector<T>& v, bool at_tail) : guard(new PageGuard(v.size() * sizeof(T), at_tail)), n(v.size()) {
        p = guard->as<T>();
        if (n) std::memcpy(p, v.data(), n * sizeof(T));
    }
};

template <class T>
int32_t ref_find(const std::vector<T>& s, const std::vector<T>& sub, bool rev) {
    if (sub.empty() || sub.size() > s.size()) return -1;
    int32_t hit = -1;
    for (size_t i = 0; i + sub.size() <= s.size(); ++i) {
        if (std::memcmp(&s[i], sub.data(), sub.size() * sizeof(T)) != 0) continue;
        hit = int32_t(i);
        if (!rev) break;
    }
    return hit;
}

template <class T>
bool in_set(T u, const std::vector<T>& set) {
    for (T x : set)
        if (x == u) return true;
    return false;
}

template <class T>
int32_t ref_find_any(const std::vector<T>& s, const std::vector<T>& set, bool rev) {
    int32_t hit = -1;
    for (size_t i = 0; i < s.size(); ++i) {
        if (!in_set(s[i], set)) continue;
        hit = int32_t(i);
        if (!rev) break;
    }
    return hit;
}

// [first, last) of the kept stretch; first == last when nothing is kept.
template <class T, class Removed>
std::pair<size_t, size_t> ref_trim(const std::vector<T>& s, Removed removed, bool start, bool end) {
    size_t b = 0, e = s.size();
    if (start)
        while (b < e && removed(s[b])) ++b;
    if (end)
        while (e > b && removed(s[e - 1])) --e;
    return {b, e};
}

template <class T>
void check_trim_result(const std::vector<T>& s, std::pair<size_t, size_t> want, const T* dst, int32_t dst_len) {
    QELFUZZ_CHECK(size_t(dst_len) == want.second - want.first);
    if (dst_len > 0) QELFUZZ_CHECK(std::memcmp(dst, &s[want.first], size_t(dst_len) * sizeof(T)) == 0);
}

template <class T>
void check_find_family(const std::vector<T>& s, T c, const std::vector<T>& sub, bool at_tail);

template <>
void check_find_family<Qel8u>(const std::vector<Qel8u>& s, Qel8u c, const std::vector<Qel8u>& sub, bool at_tail) {
    Buf<Qel8u> b(s, at_tail), f(sub, !at_tail);
    const int32_t n = int32_t(s.size()), m = int32_t(sub.size());
    int32_t idx = -7;
    QELFUZZ_CHECK(qelsFindC_8u(b.p, n, c, &idx) == qelOk && idx == ref_find(s, {c}, false));
    QELFUZZ_CHECK(qelsFindRevC_8u(b.p, n, c, &idx) == qelOk && idx == ref_find(s, {c}, true));
    QELFUZZ_CHECK(qelsFind_8u(b.p, n, f.p, m, &idx) == qelOk && idx == ref_find(s, sub, false));
    QELFUZZ_CHECK(qelsFindRev_8u(b.p, n, f.p, m, &idx) == qelOk && idx == ref_find(s, sub, true));
    for (int32_t mode : {QELCORE_FEATURE_ON, QELCORE_FEATURE_OFF}) {
        qelcoreCtlForceFeature(mode);
        QELFUZZ_CHECK(qelsFindCAny_8u(b.p, n, f.p, m, &idx) == qelOk && idx == ref_find_any(s, sub, false));
        QELFUZZ_CHECK(qelsFindRevCAny_8u(b.p, n, f.p, m, &idx) == qelOk && idx == ref_find_any(s, sub, true));
    }
    qelcoreCtlForceFeature(QELCORE_FEATURE_NATURAL);
}

template <>
void check_find_family<Qel16u>(const std::vector<Qel16u>& s, Qel16u c, const std::vector<Qel16u>& sub, bool at_tail) {
    Buf<Qel16u> b(s, at_tail), f(sub, !at_tail);
    const int32_t n = int32_t(s.size()), m = int32_t(sub.size());
    int32_t idx = -7;
    QELFUZZ_CHECK(qelsFindC_16u(b.p, n, c, &idx) == qelOk && idx == ref_find(s, {c}, false));
    QELFUZZ_CHECK(qelsFindRevC_16u(b.p, n, c, &idx) == qelOk && idx == ref_find(s, {c}, true));
    QELFUZZ_CHECK(qelsFind_16u(b.p, n, f.p, m, &idx) == qelOk && idx == ref_find(s, sub, false));
    QELFUZZ_CHECK(qelsFindRev_16u(b.p, n, f.p, m, &idx) == qelOk && idx == ref_find(s, sub, true));
    for (int32_t mode : {QELCORE_FEATURE_ON, QELCORE_FEATURE_OFF}) {
        qelcoreCtlForceFeature(mode);
        QELFUZZ_CHECK(qelsFindCAny_16u(b.p, n, f.p, m, &idx) == qelOk && idx == ref_find_any(s, sub, false));
        QELFUZZ_CHECK(qelsFindRevCAny_16u(b.p, n, f.p, m, &idx) == qelOk && idx == ref_find_any(s, sub, true));
    }
    qelcoreCtlForceFeature(QELCORE_FEATURE_NATURAL);
    // An odd address takes the scalar path of the single-unit search.
    PageGuard odd(s.size() * 2 + 1, false);
    auto* o = reinterpret_cast<Qel16u*>(odd.data() + 1);
    if (n) std::memcpy(o, s.data(), s.size() * 2);
    QELFUZZ_CHECK(qelsFindC_16u(o, n, c, &idx) == qelOk && idx == ref_find(s, {c}, false));
    QELFUZZ_CHECK(qelsFindRevC_16u(o, n, c, &idx) == qelOk && idx == ref_find(s, {c}, true));
}

// The trims: one unit (copying and, for 8 bits, in place) and the three set
// forms under both feature answers. Destinations hold exactly the kept
// length, so writing one unit more faults.
template <class T, class TrimC, class TrimAny, class TrimStart, class TrimEnd>
void check_trims(const std::vector<T>& s, T c, const std::vector<T>& set, bool at_tail, TrimC trim_c,
                 TrimAny trim_any, TrimStart trim_start, TrimEnd trim_end) {
    Buf<T> b(s, at_tail), f(set, !at_tail);
    const int32_t n = int32_t(s.size()), m = int32_t(set.size());
    auto one = [c](T u) { return u == c; };
    auto any = [&set](T u) { return in_set(u, set); };
    {
        auto want = ref_trim(s, one, true, true);
        PageGuard d((want.second - want.first) * sizeof(T), true);
        int32_t len = -7;
        QELFUZZ_CHECK(trim_c(b.p, n, c, d.as<T>(), &len) == qelOk);
        check_trim_result(s, want, d.as<T>(), len);
    }
    for (int32_t mode : {QELCORE_FEATURE_ON, QELCORE_FEATURE_OFF}) {
        qelcoreCtlForceFeature(mode);
        auto run = [&](auto fn, bool start, bool end) {
            auto want = ref_trim(s, any, start, end);
            PageGuard d((want.second - want.first) * sizeof(T), true);
            int32_t len = -7;
            QELFUZZ_CHECK(fn(b.p, n, f.p, m, d.as<T>(), &len) == qelOk);
            check_trim_result(s, want, d.as<T>(), len);
        };
        run(trim_any, true, true);
        run(trim_start, true, false);
        run(trim_end, false, true);
    }
    qelcoreCtlForceFeature(QELCORE_FEATURE_NATURAL);
}

void check_trim_in_place(const std::vector<Qel8u>& s, Qel8u c, bool at_tail) {
    Buf<Qel8u> b(s, at_tail);
    auto want = ref_trim(s, [c](Qel8u u) { return u == c; }, true, true);
    int32_t len = int32_t(s.size());
    QELFUZZ_CHECK(qelsTrimC_8u_I(b.p, &len, c) == qelOk);
    check_trim_result(s, want, b.p, len);
    // The copying form with the destination equal to the source.
    Buf<Qel8u> same(s, at_tail);
    len = -7;
    QELFUZZ_CHECK(qelsTrimC_8u(same.p, int32_t(s.size()), c, same.p, &len) == qelOk);
    check_trim_result(s, want, same.p, len);
}

// Split into `rooms.size()` slots, each exactly as large as its room.
template <class T, class Split>
void check_split(const std::vector<T>& s, T sep, const std::vector<int32_t>& rooms, bool at_tail, Split split) {
    Buf<T> b(s, at_tail);
    const size_t k = rooms.size();
    std::vector<std::unique_ptr<PageGuard>> guards;
    std::vector<T*> slots(k);
    std::vector<int32_t> lens(rooms);
    for (size_t i = 0; i < k; ++i) {
        guards.emplace_back(new PageGuard(size_t(rooms[i]) * sizeof(T), true));
        slots[i] = guards.back()->as<T>();
    }
    int32_t count = int32_t(k);
    QelStatus st = split(b.p, int32_t(s.size()), sep, slots.data(), lens.data(), &count);

    // Reference: pieces between separators, cut to their slot's room.
    size_t r = s.size(), pos = 0, piece = 0;
    bool truncated = false;
    while (r >= 1 && piece < k) {
        size_t p = 0;
        while (p < r && s[pos + p] != sep) ++p;
        size_t room = size_t(rooms[piece]);
        size_t written = p <= room ? p : room;
        if (p > room) truncated = true;
        QELFUZZ_CHECK(size_t(lens[piece]) == written);
        if (written) QELFUZZ_CHECK(std::memcmp(slots[piece], &s[pos], written * sizeof(T)) == 0);
        pos += p + 1;
        r = p == r ? 0 : r - p - 1;
        ++piece;
    }
    QELFUZZ_CHECK(size_t(count) == piece);
    QelStatus want = r > 0 ? qelWrnSplitIncomplete : truncated ? qelWrnTruncated : qelOk;
    QELFUZZ_CHECK(st == want);
    for (size_t i = piece; i < k; ++i) QELFUZZ_CHECK(lens[i] == rooms[i]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qelfuzz::Input in(data, size);
    const uint8_t c = in.byte();
    const uint8_t flags = in.byte();
    std::string_view field = in.field();
    std::string_view text = in.rest();
    const bool at_tail = (flags & 1) == 0;

    std::vector<Qel8u> s8(text.begin(), text.end()), f8(field.begin(), field.end());
    std::vector<Qel16u> s16(text.size() / 2), f16(field.size() / 2);
    if (!s16.empty()) std::memcpy(s16.data(), text.data(), s16.size() * 2);
    if (!f16.empty()) std::memcpy(f16.data(), field.data(), f16.size() * 2);
    // A 16-bit unit that occurs in the string often enough to matter.
    const Qel16u c16 = s16.empty() ? Qel16u(c) : s16[c % s16.size()];

    check_find_family<Qel8u>(s8, c, f8, at_tail);
    check_find_family<Qel16u>(s16, c16, f16, at_tail);

    check_trims<Qel8u>(s8, c, f8, at_tail, qelsTrimC_8u, qelsTrimCAny_8u, qelsTrimStartCAny_8u, qelsTrimEndCAny_8u);
    check_trims<Qel16u>(s16, c16, f16, at_tail, qelsTrimC_16u, qelsTrimCAny_16u, qelsTrimStartCAny_16u,
                        qelsTrimEndCAny_16u);
    check_trim_in_place(s8, c, at_tail);

    std::vector<int32_t> rooms(1 + ((flags >> 4) & 7));
    for (size_t i = 0; i < rooms.size(); ++i) rooms[i] = i < field.size() ? int32_t(uint8_t(field[i]) % 12) : 4;
    check_split<Qel8u>(s8, c, rooms, at_tail, qelsSplitC_8u_D2L);
    check_split<Qel16u>(s16, c16, rooms, at_tail, qelsSplitC_16u_D2L);
    return 0;
}
