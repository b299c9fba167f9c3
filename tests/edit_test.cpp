// Editing and lists: insert, remove, replace a unit, concatenate, join and
// split lists. Behaviour tables for both unit widths, the argument errors
// (including ranges whose sum passes 32 bits), partial writes before a bad
// list entry, the replace kernel against a plain loop, and guard pages.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "qelch.h"
#include "support/guard.h"
#include "support/random.h"

namespace {

template <class T>
std::vector<T> units(const std::string& s) {
    return std::vector<T>(s.begin(), s.end());
}

// Length-0 strings still need real pointers.
template <class T>
const T* ptr(const std::vector<T>& v) {
    static const T empty[1] = {0};
    return v.empty() ? empty : v.data();
}

// The two widths share one set of behaviour tests.
template <class T>
struct Api;

template <>
struct Api<uint8_t> {
    static constexpr auto insert = qelsInsert_8u;
    static constexpr auto insert_i = qelsInsert_8u_I;
    static constexpr auto remove = qelsRemove_8u;
    static constexpr auto remove_i = qelsRemove_8u_I;
    static constexpr auto replace = qelsReplaceC_8u;
    static constexpr auto concat = qelsConcat_8u;
    static constexpr auto concat_list = qelsConcat_8u_D2L;
    static constexpr auto concat_sep = qelsConcatC_8u_D2L;
    static constexpr auto split = qelsSplitC_8u_D2L;
};
template <>
struct Api<uint16_t> {
    static constexpr auto insert = qelsInsert_16u;
    static constexpr auto insert_i = qelsInsert_16u_I;
    static constexpr auto remove = qelsRemove_16u;
    static constexpr auto remove_i = qelsRemove_16u_I;
    static constexpr auto replace = qelsReplaceC_16u;
    static constexpr auto concat = qelsConcat_16u;
    static constexpr auto concat_list = qelsConcat_16u_D2L;
    static constexpr auto concat_sep = qelsConcatC_16u_D2L;
    static constexpr auto split = qelsSplitC_16u_D2L;
};

template <class T>
class Edit : public ::testing::Test {};
using Widths = ::testing::Types<uint8_t, uint16_t>;
TYPED_TEST_SUITE(Edit, Widths);

TYPED_TEST(Edit, Insert) {
    using T = TypeParam;
    struct Row {
        std::string src, ins;
        int32_t start;
        std::string want;
    };
    const Row rows[] = {
        {"world", "hello ", 0, "hello world"}, {"hello", " world", 5, "hello world"}, {"held", "l", 3, "helld"},
        {"", "abc", 0, "abc"},                 {"abc", "", 1, "abc"},              {"", "", 0, ""},
        {std::string(300, 'x'), std::string(100, 'y'), 150, std::string(150, 'x') + std::string(100, 'y') + std::string(150, 'x')},
    };
    for (const Row& r : rows) {
        auto src = units<T>(r.src), ins = units<T>(r.ins), want = units<T>(r.want);
        auto n = static_cast<int32_t>(src.size()), m = static_cast<int32_t>(ins.size());
        // Copying into a separate buffer; with nothing inserted the source is still copied.
        std::vector<T> dst(want.size() + 1, T('#'));
        ASSERT_EQ(Api<T>::insert(ptr(src), n, ptr(ins), m, dst.data(), r.start), qelOk);
        EXPECT_EQ(std::vector<T>(dst.begin(), dst.end() - 1), want) << r.src << " + " << r.ins;
        EXPECT_EQ(dst.back(), T('#'));
        // Copying with the destination being the source buffer.
        std::vector<T> same = src;
        same.resize(want.size() + 1, T('#'));
        ASSERT_EQ(Api<T>::insert(same.data(), n, ptr(ins), m, same.data(), r.start), qelOk);
        EXPECT_EQ(std::vector<T>(same.begin(), same.end() - 1), want) << "dst == src";
        // In place.
        std::vector<T> buf = src;
        buf.resize(want.size() + 1, T('#'));
        int32_t len = n;
        ASSERT_EQ(Api<T>::insert_i(ptr(ins), m, buf.data(), &len, r.start), qelOk);
        EXPECT_EQ(len, static_cast<int32_t>(want.size()));
        EXPECT_EQ(std::vector<T>(buf.begin(), buf.end() - 1), want) << "in place";
    }
}

TYPED_TEST(Edit, Remove) {
    using T = TypeParam;
    struct Row {
        std::string src;
        int32_t start, count;
        std::string want;
    };
    const Row rows[] = {
        {"hello world", 5, 6, "hello"}, {"hello world", 0, 6, "world"}, {"hello", 1, 3, "ho"},
        {"hello", 2, 0, "hello"},       {"hello", 5, 0, "hello"},       {"hello", 0, 5, ""},
        {std::string(400, 'a') + std::string(400, 'b'), 100, 400, std::string(100, 'a') + std::string(300, 'b')},
    };
    for (const Row& r : rows) {
        auto src = units<T>(r.src), want = units<T>(r.want);
        auto n = static_cast<int32_t>(src.size());
        std::vector<T> dst(want.size() + 1, T('#'));
        ASSERT_EQ(Api<T>::remove(src.data(), n, dst.data(), r.start, r.count), qelOk);
        EXPECT_EQ(std::vector<T>(dst.begin(), dst.end() - 1), want) << r.src;
        EXPECT_EQ(dst.back(), T('#'));
        std::vector<T> same = src;
        ASSERT_EQ(Api<T>::remove(same.data(), n, same.data(), r.start, r.count), qelOk);
        EXPECT_EQ(std::vector<T>(same.begin(), same.begin() + static_cast<long>(want.size())), want) << "dst == src";
        std::vector<T> buf = src;
        int32_t len = n;
        ASSERT_EQ(Api<T>::remove_i(buf.data(), &len, r.start, r.count), qelOk);
        EXPECT_EQ(len, static_cast<int32_t>(want.size()));
        EXPECT_EQ(std::vector<T>(buf.begin(), buf.begin() + len), want) << "in place";
    }
}

TYPED_TEST(Edit, InsertRemoveArgumentErrors) {
    using T = TypeParam;
    auto src = units<T>("abcdefghij");
    std::vector<T> dst(32, T('#')), buf = src;
    buf.resize(32, T('#'));
    const auto untouched_dst = dst, untouched_buf = buf;
    const T* s = src.data();
    T* d = dst.data();
    int32_t len = 10, huge = INT32_MAX - 1;
    struct Row {
        const char* what;
        QelStatus got, want;
    };
    const Row rows[] = {
        {"insert null src", Api<T>::insert(nullptr, -1, s, 1, d, 0), qelErrNullPtr},
        {"insert null ins", Api<T>::insert(s, 10, nullptr, 1, d, 0), qelErrNullPtr},
        {"insert null dst", Api<T>::insert(s, 10, s, 1, nullptr, 0), qelErrNullPtr},
        {"insert negative length", Api<T>::insert(s, -1, s, 1, d, 0), qelErrLength},
        {"insert negative ins length", Api<T>::insert(s, 10, s, -1, d, 0), qelErrLength},
        {"insert negative start", Api<T>::insert(s, 10, s, 1, d, -1), qelErrLength},
        {"insert start past end", Api<T>::insert(s, 10, s, 1, d, 11), qelErrLength},
        {"insert_i null len", Api<T>::insert_i(s, 1, buf.data(), nullptr, 0), qelErrNullPtr},
        {"insert_i start past end", Api<T>::insert_i(s, 1, buf.data(), &len, 11), qelErrLength},
        {"insert_i grows past 32 bits", Api<T>::insert_i(s, 2, buf.data(), &huge, 0), qelErrLength},
        {"remove null src", Api<T>::remove(nullptr, 10, d, 0, -1), qelErrNullPtr},
        {"remove negative count", Api<T>::remove(s, 10, d, 0, -1), qelErrLength},
        {"remove negative start", Api<T>::remove(s, 10, d, -1, 1), qelErrLength},
        {"remove range past end", Api<T>::remove(s, 10, d, 5, 6), qelErrLength},
        {"remove range sum wraps", Api<T>::remove(s, 10, d, 5, INT32_MAX), qelErrLength},
        {"remove negative length", Api<T>::remove(s, -1, d, 0, 0), qelErrLength},
        {"remove_i null buf", Api<T>::remove_i(nullptr, &len, -1, -1), qelErrNullPtr},
        {"remove_i range past end", Api<T>::remove_i(buf.data(), &len, 9, 2), qelErrLength},
        {"remove_i range sum wraps", Api<T>::remove_i(buf.data(), &len, 2, INT32_MAX), qelErrLength},
        {"remove_i start sum wraps", Api<T>::remove_i(buf.data(), &len, INT32_MAX, 2), qelErrLength},
    };
    for (const Row& r : rows) EXPECT_EQ(r.got, r.want) << r.what;
    EXPECT_EQ(dst, untouched_dst);
    EXPECT_EQ(buf, untouched_buf);
    EXPECT_EQ(len, 10);
    EXPECT_EQ(huge, INT32_MAX - 1);
}

TYPED_TEST(Edit, Concat) {
    using T = TypeParam;
    auto a = units<T>("foo"), b = units<T>("bar"), empty = units<T>("");
    std::vector<T> dst(7, T('#'));
    ASSERT_EQ(Api<T>::concat(a.data(), 3, b.data(), 3, dst.data()), qelOk);
    EXPECT_EQ(dst, units<T>("foobar#"));
    ASSERT_EQ(Api<T>::concat(ptr(empty), 0, b.data(), 3, dst.data()), qelOk);
    EXPECT_EQ(dst, units<T>("barbar#"));
    EXPECT_EQ(Api<T>::concat(a.data(), 3, nullptr, -1, dst.data()), qelErrNullPtr);
    EXPECT_EQ(Api<T>::concat(a.data(), 3, b.data(), -1, dst.data()), qelErrLength);
    EXPECT_EQ(dst, units<T>("barbar#"));
}

TYPED_TEST(Edit, ConcatLists) {
    using T = TypeParam;
    auto ab = units<T>("ab"), empty = units<T>(""), c = units<T>("c");
    const T* srcs[] = {ab.data(), ptr(empty), c.data()};
    const int32_t lens[] = {2, 0, 1};
    std::vector<T> dst(8, T('#'));
    ASSERT_EQ(Api<T>::concat_list(srcs, lens, 3, dst.data()), qelOk);
    EXPECT_EQ(dst, units<T>("abc#####"));
    ASSERT_EQ(Api<T>::concat_sep(srcs, lens, 3, T(','), dst.data()), qelOk);
    EXPECT_EQ(dst, units<T>("ab,,c###"));
    dst.assign(8, T('#'));
    ASSERT_EQ(Api<T>::concat_sep(srcs, lens, 1, T(','), dst.data()), qelOk);
    EXPECT_EQ(dst, units<T>("ab######"));
    EXPECT_EQ(Api<T>::concat_list(srcs, lens, 0, dst.data()), qelErrSize);
    EXPECT_EQ(Api<T>::concat_sep(nullptr, lens, 0, T(','), dst.data()), qelErrNullPtr);
    EXPECT_EQ(Api<T>::concat_list(srcs, nullptr, 3, dst.data()), qelErrNullPtr);
    EXPECT_EQ(Api<T>::concat_list(srcs, lens, 3, nullptr), qelErrNullPtr);
}

TYPED_TEST(Edit, ConcatListsStopAtBadEntryAfterWritingTheOnesBefore) {
    using T = TypeParam;
    auto x = units<T>("xy"), z = units<T>("z");
    {
        const T* srcs[] = {x.data(), z.data(), nullptr, z.data()};
        const int32_t lens[] = {2, 1, 1, 1};
        std::vector<T> dst(8, T('#'));
        EXPECT_EQ(Api<T>::concat_sep(srcs, lens, 4, T(','), dst.data()), qelErrNullPtr);
        EXPECT_EQ(dst, units<T>("xy,z####"));  // no separator for the bad entry
        dst.assign(8, T('#'));
        EXPECT_EQ(Api<T>::concat_list(srcs, lens, 4, dst.data()), qelErrNullPtr);
        EXPECT_EQ(dst, units<T>("xyz#####"));
    }
    {
        const T* srcs[] = {x.data(), z.data(), z.data()};
        const int32_t lens[] = {2, -1, 1};
        std::vector<T> dst(8, T('#'));
        EXPECT_EQ(Api<T>::concat_sep(srcs, lens, 3, T(','), dst.data()), qelErrLength);
        EXPECT_EQ(dst, units<T>("xy######"));
    }
}

// The split algorithm written plainly, for random comparisons.
template <class T>
QelStatus ref_split(const std::vector<T>& src, T sep, std::vector<std::vector<T>>& slots, std::vector<int32_t>& lens,
                    int32_t& count) {
    size_t pos = 0;
    int32_t k = 0;
    bool truncated = false;
    bool more = !src.empty();
    while (more && k < count) {
        size_t end = pos;
        while (end < src.size() && src[end] != sep) ++end;
        auto piece = static_cast<int32_t>(end - pos);
        if (piece <= lens[k]) lens[k] = piece;
        else truncated = true;
        std::copy(src.begin() + static_cast<long>(pos), src.begin() + static_cast<long>(pos) + lens[k], slots[k].begin());
        pos = end + 1;
        more = end < src.size() && pos < src.size();
        ++k;
    }
    count = k;
    if (more) return qelWrnSplitIncomplete;
    return truncated ? qelWrnTruncated : qelOk;
}

TYPED_TEST(Edit, SplitTable) {
    using T = TypeParam;
    struct Row {
        std::string src;
        int32_t slots, room;
        std::vector<std::string> pieces;
        QelStatus status;
    };
    const Row rows[] = {
        {"a,b,,c", 5, 8, {"a", "b", "", "c"}, qelOk},
        {"a,b,c", 2, 8, {"a", "b"}, qelWrnSplitIncomplete},
        {"abcdef", 1, 3, {"abc"}, qelWrnTruncated},
        {"ab,", 3, 8, {"ab"}, qelOk},
        {",ab", 3, 8, {"", "ab"}, qelOk},
        {"", 3, 8, {}, qelOk},
        {"abcdef,gh,ij", 2, 3, {"abc", "gh"}, qelWrnSplitIncomplete},  // incomplete wins over truncated
        {"abcdef,gh", 2, 3, {"abc", "gh"}, qelWrnTruncated},
    };
    for (const Row& r : rows) {
        auto src = units<T>(r.src);
        std::vector<std::vector<T>> store(static_cast<size_t>(r.slots), std::vector<T>(16, T('#')));
        std::vector<T*> slots;
        for (auto& s : store) slots.push_back(s.data());
        std::vector<int32_t> lens(static_cast<size_t>(r.slots), r.room);
        int32_t count = r.slots;
        ASSERT_EQ(Api<T>::split(ptr(src), static_cast<int32_t>(src.size()), T(','), slots.data(), lens.data(), &count),
                  r.status)
            << r.src;
        ASSERT_EQ(count, static_cast<int32_t>(r.pieces.size())) << r.src;
        for (size_t k = 0; k < r.pieces.size(); ++k) {
            auto want = units<T>(r.pieces[k]);
            ASSERT_EQ(lens[k], static_cast<int32_t>(want.size())) << r.src << " piece " << k;
            EXPECT_EQ(std::vector<T>(store[k].begin(), store[k].begin() + lens[k]), want) << r.src << " piece " << k;
            EXPECT_EQ(store[k][static_cast<size_t>(lens[k])], T('#')) << "wrote past the piece";
        }
    }
}

TYPED_TEST(Edit, SplitAgainstPlainLoop) {
    using T = TypeParam;
    const std::vector<T> alphabet = {T('a'), T('b'), T(','), static_cast<T>(sizeof(T) == 1 ? 0xAC : 0xFF2C)};
    for (size_t n = 0; n <= 300; n += (n < 80 ? 1 : 7)) {
        for (T sep : {T(','), alphabet[3], T('z')}) {
            // Sparse separators give long pieces that exercise the vector search.
            auto src = n % 3 ? qeltest::random_from<T>(n, static_cast<uint32_t>(n), alphabet)
                             : qeltest::random_from<T>(n, static_cast<uint32_t>(n), {T('a'), T('b'), T('c'), T('d'), T('e'), T('f'), T('g'), sep});
            int32_t slots = static_cast<int32_t>(n % 9) + 1;
            std::vector<int32_t> rooms(static_cast<size_t>(slots));
            for (int32_t k = 0; k < slots; ++k) rooms[static_cast<size_t>(k)] = static_cast<int32_t>((n * 7 + static_cast<size_t>(k) * 13) % 90);
            std::vector<std::vector<T>> got_store(static_cast<size_t>(slots), std::vector<T>(96, T('#')));
            auto want_store = got_store;
            std::vector<T*> ptrs;
            for (auto& s : got_store) ptrs.push_back(s.data());
            auto got_lens = rooms, want_lens = rooms;
            int32_t got_count = slots, want_count = slots;
            QelStatus want = ref_split(src, sep, want_store, want_lens, want_count);
            ASSERT_EQ(Api<T>::split(ptr(src), static_cast<int32_t>(n), sep, ptrs.data(), got_lens.data(), &got_count),
                      want)
                << "n=" << n;
            ASSERT_EQ(got_count, want_count);
            ASSERT_EQ(got_lens, want_lens);
            ASSERT_EQ(got_store, want_store);
        }
    }
}

TYPED_TEST(Edit, SplitErrors) {
    using T = TypeParam;
    auto src = units<T>("ab,cd,ef");
    std::vector<T> s0(4, T('#')), s1(4, T('#'));
    T* slots[] = {s0.data(), nullptr, s1.data()};
    int32_t lens[] = {4, 4, 4};
    int32_t count = 3;
    // A null slot is reported when reached: piece 0 written, its length
    // updated, the count left alone.
    EXPECT_EQ(Api<T>::split(src.data(), 8, T(','), slots, lens, &count), qelErrNullPtr);
    EXPECT_EQ(s0, units<T>("ab##"));
    EXPECT_EQ(lens[0], 2);
    EXPECT_EQ(count, 3);
    T* good[] = {s0.data(), s1.data()};
    int32_t bad_lens[] = {4, -1};
    count = 2;
    EXPECT_EQ(Api<T>::split(src.data(), 8, T(','), good, bad_lens, &count), qelErrLength);
    EXPECT_EQ(count, 2);
    count = 0;
    EXPECT_EQ(Api<T>::split(src.data(), -1, T(','), good, lens, &count), qelErrLength);
    EXPECT_EQ(Api<T>::split(src.data(), 8, T(','), good, lens, &count), qelErrSize);
    EXPECT_EQ(Api<T>::split(nullptr, -1, T(','), good, lens, &count), qelErrNullPtr);
    EXPECT_EQ(Api<T>::split(src.data(), 8, T(','), good, lens, nullptr), qelErrNullPtr);
}

TYPED_TEST(Edit, ReplaceUnitAgainstPlainLoop) {
    using T = TypeParam;
    constexpr size_t kAlign = 32 / sizeof(T);
    const T from = static_cast<T>(sizeof(T) == 1 ? 0xE9 : 0xE9E9), to = T('e');
    const std::vector<T> alphabet = {from, to, T('x'), static_cast<T>(from ^ 1), static_cast<T>(from + 0x100 * (sizeof(T) - 1))};
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 300; ++n) lengths.push_back(n);
    lengths.insert(lengths.end(), {1000, 4099});
    for (size_t n : lengths) {
        auto in = qeltest::random_from<T>(n, static_cast<uint32_t>(n), alphabet);
        std::vector<T> want(n);
        for (size_t i = 0; i < n; ++i) want[i] = in[i] == from ? to : in[i];
        size_t offs = n <= 80 ? kAlign : 2;
        for (size_t so = 0; so < offs; ++so) {
            for (size_t dof = 0; dof < offs; ++dof) {
                std::vector<T> src(n + kAlign), dst(n + kAlign + 1, T('#'));
                std::copy(in.begin(), in.end(), src.begin() + static_cast<long>(so));
                ASSERT_EQ(Api<T>::replace(src.data() + so, dst.data() + dof, static_cast<int32_t>(n), from, to), qelOk);
                ASSERT_TRUE(std::equal(want.begin(), want.end(), dst.begin() + static_cast<long>(dof))) << "n=" << n;
                ASSERT_EQ(dst[dof + n], T('#'));
                if (dof) {
                    ASSERT_EQ(dst[dof - 1], T('#'));
                }
            }
        }
        std::vector<T> buf = in;
        ASSERT_EQ(Api<T>::replace(ptr(buf), const_cast<T*>(ptr(buf)), static_cast<int32_t>(n), from, to), qelOk);
        ASSERT_EQ(buf, want) << "in place n=" << n;
        buf = in;
        ASSERT_EQ(Api<T>::replace(ptr(buf), const_cast<T*>(ptr(buf)), static_cast<int32_t>(n), from, from), qelOk);
        ASSERT_EQ(buf, in) << "replace by itself n=" << n;
    }
    T unit = 1;
    EXPECT_EQ(Api<T>::replace(nullptr, &unit, -1, from, to), qelErrNullPtr);
    EXPECT_EQ(Api<T>::replace(&unit, nullptr, 1, from, to), qelErrNullPtr);
    EXPECT_EQ(Api<T>::replace(&unit, &unit, -1, from, to), qelErrLength);
}

TYPED_TEST(Edit, GuardPages) {
    using T = TypeParam;
    for (size_t n = 1; n <= 70; n += 3) {
        auto in = qeltest::random_from<T>(n, static_cast<uint32_t>(n), {T('a'), T(','), T('b')});
        auto n32 = static_cast<int32_t>(n);
        for (bool at_tail : {true, false}) {
            for (size_t odd : qeltest::unit_offsets<T>()) {
                const size_t other = sizeof(T) - 1 - odd;
                qeltest::Guarded<T> src(in, at_tail, odd), extra(in, !at_tail, other);
                qeltest::Guarded<T> out(std::vector<T>(2 * n + 2), false, other);
                std::vector<T> both = in;
                both.insert(both.end(), in.begin(), in.end());

                ASSERT_EQ(Api<T>::insert(src.data(), n32, extra.data(), n32, out.data(), n32 / 2), qelOk);
                ASSERT_EQ(Api<T>::remove(src.data(), n32, out.data(), 0, n32 / 2), qelOk);
                ASSERT_EQ(Api<T>::concat(src.data(), n32, extra.data(), n32, out.data()), qelOk);
                const std::vector<T> got = out.contents();
                ASSERT_TRUE(std::equal(both.begin(), both.end(), got.begin()));
                // The pointer and length arrays are caller memory too.
                qeltest::Guarded<const T*> srcs(std::vector<const T*>{src.data(), extra.data()}, at_tail);
                qeltest::Guarded<int32_t> lens(std::vector<int32_t>{n32, n32}, !at_tail);
                ASSERT_EQ(Api<T>::concat_list(srcs.data(), lens.data(), 2, out.data()), qelOk);
                ASSERT_EQ(Api<T>::concat_sep(srcs.data(), lens.data(), 2, T(';'), out.data()), qelOk);

                qeltest::Guarded<T> dst(std::vector<T>(n), at_tail, other);
                ASSERT_EQ(Api<T>::replace(src.data(), dst.data(), n32, T(','), T(';')), qelOk);
                for (size_t i = 0; i < n; ++i) ASSERT_EQ(dst.contents()[i], in[i] == T(',') ? T(';') : in[i]);

                // Slots flush against a guard: a piece copy that runs over faults.
                qeltest::Guarded<T> s0(std::vector<T>(n), at_tail, odd), s1(std::vector<T>(n), !at_tail, other);
                qeltest::Guarded<T*> slots(std::vector<T*>{s0.data(), s1.data()}, at_tail);
                qeltest::Guarded<int32_t> rooms(std::vector<int32_t>{n32, n32}, !at_tail);
                int32_t count = 2;
                ASSERT_GE(Api<T>::split(src.data(), n32, T(','), slots.data(), rooms.data(), &count), qelOk);

                // In place with the buffer flush against a guard.
                qeltest::Guarded<T> room(in, at_tail, odd);
                int32_t len = n32;
                ASSERT_EQ(Api<T>::remove_i(room.data(), &len, 0, 1), qelOk);
                ASSERT_EQ(Api<T>::insert_i(extra.data(), 1, room.data(), &len, 0), qelOk);
                ASSERT_EQ(len, n32);
            }
        }
    }
}

}  // namespace
