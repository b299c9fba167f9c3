// Search and replacement fuzz target. A pattern from the input is compiled
// into a state of exactly the reported size that ends at a guard page; a
// subject from the input is searched in both formats (UTF-8 and bytes), placed
// once against the trailing and once against the leading guard, with a small
// match limit; then it is run through the replacement with a template from the
// input. Result arrays and the destination are exactly as large as the
// capacities passed, so a write past them faults.
//
// Checked: every record lies inside the subject (or is {null, -1} for a group
// that took no part), counts stay within the capacities, statuses come from
// the documented set, the replacement's consumed and written lengths stay in
// range and its output equals one rebuilt here from the reported records, and
// a global search of a pattern without groups reports the same records as the
// global replacement.
//
// Input: byte 0 options (bits: s m i x g), byte 1 capacities (low nibble:
// result records, high nibble: destination size), then the pattern and the
// template, each ended by a zero byte, then the subject.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "qelch.h"
#include "regex/regexp_state.h"

using qelfuzz::GuardedText;
using qelfuzz::PageGuard;

namespace {

// The limit keeps every input fast: the work budget that comes with it bounds
// the match steps of a whole search call, and the nesting budget how deep one
// attempt may recurse. A search either of them cuts reports qelErrMatchLimit.
// So a slow input is a fault, not a warning.
constexpr int32_t kMatchLimit = 32;
constexpr size_t kMaxSubject = 128;

bool inside(const QelRegExpFind& r, const uint8_t* s, size_t n) {
    if (r.pointer == nullptr) return r.length == -1;
    return r.pointer >= s && r.length >= 0 && size_t(r.pointer - s) + size_t(r.length) <= n;
}

// One item of a parsed template: literal text or a capture number.
struct Item {
    bool group;
    int64_t number;
    std::string text;
};

// Parses the template as the replacement documents it. Returns false for a
// malformed reference; `huge` is set when a number is too long to compare
// with the library's own arithmetic.
bool parse_template(std::string_view t, std::vector<Item>& items, bool& huge) {
    std::string run;
    for (size_t i = 0; i < t.size();) {
        char c = t[i];
        if (c == '\\') {
            ++i;
            continue;  // drops itself; the next byte is read as usual
        }
        if (c != '$') {
            run += c;
            ++i;
            continue;
        }
        if (!run.empty()) items.push_back({false, 0, run});
        run.clear();
        ++i;
        if (i < t.size() && t[i] == '$') {  // "$$": one dollar sign
            run += '$';
            ++i;
            continue;
        }
        if (i < t.size() && t[i] == '&') {
            items.push_back({true, 0, {}});
            ++i;
            continue;
        }
        if (i >= t.size() || t[i] < '0' || t[i] > '9') return false;
        int64_t n = 0;
        size_t digits = 0;
        while (i < t.size() && t[i] >= '0' && t[i] <= '9') {
            if (digits < 12) n = n * 10 + (t[i] - '0');
            ++digits;
            ++i;
        }
        if (digits > 9) huge = true;
        if (n == 0 && !huge) return false;
        items.push_back({true, n, {}});
    }
    if (!run.empty()) items.push_back({false, 0, run});
    return true;
}

// The expected output of a complete replacement, rebuilt from the records
// the search reported: `per` records per match with "g", else one match.
std::string rebuild(const uint8_t* s, size_t n, const QelRegExpFind* recs, int32_t count, int32_t per, bool global,
                    const std::vector<Item>& items) {
    std::string out;
    size_t read = 0;
    int32_t step = global ? per : count;
    for (int32_t m = 0; m < count; m += step) {
        const QelRegExpFind& whole = recs[m];
        QELFUZZ_CHECK(whole.pointer != nullptr);
        size_t start = size_t(whole.pointer - s);
        QELFUZZ_CHECK(start >= read);
        out.append(reinterpret_cast<const char*>(s) + read, start - read);
        for (const Item& it : items) {
            if (!it.group) {
                out += it.text;
                continue;
            }
            if (global && it.number >= per) continue;
            if (m + it.number >= count) continue;
            const QelRegExpFind& g = recs[m + it.number];
            if (g.length < 0) continue;
            out.append(reinterpret_cast<const char*>(g.pointer), size_t(g.length));
        }
        read = start + size_t(whole.length);
        if (!global) break;
    }
    out.append(reinterpret_cast<const char*>(s) + read, n - read);
    return out;
}

void check_find(QelRegExpState* state, const uint8_t* s, size_t n, int32_t cap, bool global, int32_t captures,
                std::vector<QelRegExpFind>* first_records) {
    PageGuard rg(sizeof(QelRegExpFind) * size_t(cap), true);
    auto* recs = rg.as<QelRegExpFind>();
    int32_t count = cap;
    QelStatus st = qelsRegExpFind_8u(s, int32_t(n), state, recs, &count);
    QELFUZZ_CHECK(st == qelOk || st == qelWrnFindIncomplete || st == qelErrMatchLimit);
    if (st == qelErrMatchLimit) {
        // Single search: the count is lowered to the capture count and no
        // record is counted; global: the count keeps the capacity.
        QELFUZZ_CHECK(count == (global ? cap : (cap < captures ? cap : captures)));
        if (first_records) first_records->clear();
        return;
    }
    QELFUZZ_CHECK(count >= 0 && count <= cap);
    for (int32_t i = 0; i < count; ++i) QELFUZZ_CHECK(inside(recs[i], s, n));
    if (!global && count > 0) {
        QELFUZZ_CHECK(count == (cap < captures ? cap : captures));
        QELFUZZ_CHECK(recs[0].pointer != nullptr);
        QELFUZZ_CHECK((st == qelWrnFindIncomplete) == (cap < captures));
    }
    if (first_records) first_records->assign(recs, recs + count);
}

void check_replace(QelRegExpState* state, QelRegExpReplaceState* rs, const std::vector<Item>* items, const uint8_t* s,
                   size_t n, int32_t cap, int32_t dst_cap, bool global, int32_t captures,
                   const std::vector<QelRegExpFind>* global_find) {
    PageGuard rg(sizeof(QelRegExpFind) * size_t(cap), true);
    PageGuard dg(size_t(dst_cap), true);
    auto* recs = rg.as<QelRegExpFind>();
    int32_t sub_len = int32_t(n), dst_len = dst_cap, count = cap;
    QelStatus st = qelsRegExpReplace_8u(s, &sub_len, dg.data(), &dst_len, recs, &count, state, rs);
    if (n == 0) {
        QELFUZZ_CHECK(st == qelErrSize);
        return;
    }
    if (st == qelErrMatchLimit) {
        // A search that gave up: nothing written, the lengths as passed.
        QELFUZZ_CHECK(sub_len == int32_t(n) && dst_len == dst_cap);
        for (int32_t i = 0; i < dst_cap; ++i) QELFUZZ_CHECK(dg.data()[i] == 0);
        return;
    }
    QELFUZZ_CHECK(st == qelOk || st == qelWrnFindIncomplete);
    QELFUZZ_CHECK(count >= 0 && count <= cap);
    QELFUZZ_CHECK(sub_len >= 0 && size_t(sub_len) <= n);
    QELFUZZ_CHECK(dst_len >= 0 && dst_len <= dst_cap);
    for (int32_t i = 0; i < count; ++i) QELFUZZ_CHECK(inside(recs[i], s, n));
    if (count == 0) {
        // No match: a plain copy of as much as fits.
        int32_t copied = int32_t(n) < dst_cap ? int32_t(n) : dst_cap;
        QELFUZZ_CHECK(sub_len == copied && dst_len == copied);
        QELFUZZ_CHECK(std::memcmp(dg.data(), s, size_t(copied)) == 0);
        return;
    }
    // Every piece leaves a byte of room, so a replacement never fills dst.
    QELFUZZ_CHECK(dst_len < dst_cap);
    if (global && captures == 1 && global_find && st == qelOk) {
        QELFUZZ_CHECK(global_find->size() == size_t(count));
        for (int32_t i = 0; i < count; ++i)
            QELFUZZ_CHECK((*global_find)[size_t(i)].pointer == recs[i].pointer &&
                          (*global_find)[size_t(i)].length == recs[i].length);
    }
    if (items) {
        // Every piece is written only while it leaves a byte free, so the
        // whole output arrives exactly when it is shorter than dst; otherwise
        // what was counted is a prefix of it (consumed may still be the whole
        // subject when the piece that did not fit belongs to an empty match
        // at the very end).
        std::string want = rebuild(s, n, recs, count, captures, global, *items);
        QELFUZZ_CHECK(size_t(dst_len) <= want.size());
        QELFUZZ_CHECK(std::memcmp(want.data(), dg.data(), size_t(dst_len)) == 0);
        if (want.size() < size_t(dst_cap)) QELFUZZ_CHECK(size_t(sub_len) == n && size_t(dst_len) == want.size());
        else QELFUZZ_CHECK(size_t(dst_len) < want.size());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qelfuzz::Input in(data, size);
    const uint8_t opt_bits = in.byte();
    const uint8_t caps = in.byte();
    std::string_view pattern = in.field();
    std::string_view tmpl = in.field();
    std::string_view subject = in.rest();
    if (subject.size() > kMaxSubject) subject = subject.substr(0, kMaxSubject);

    char options[6];
    qelfuzz::options_from_bits(opt_bits, options);
    const bool global = (opt_bits & 0x10) != 0;

    GuardedText pat(pattern, true, true);
    int32_t state_size = 0;
    QELFUZZ_CHECK(qelsRegExpGetSize(pat.chars(), &state_size) == qelOk);
    PageGuard block(size_t(state_size), true);
    auto* state = block.as<QelRegExpState>();
    int32_t offset = -1;
    QelStatus st = qelsRegExpInit(pat.chars(), options, state, &offset);
    if (st != qelOk) {
        QELFUZZ_CHECK(st <= qelErrRegExpEscape && st >= qelErrRegExpOption && st != qelErrMatchLimit &&
                      st != qelErrBadState);
        QELFUZZ_CHECK(offset >= 0 && size_t(offset) <= pattern.size());
        return 0;
    }
    QELFUZZ_CHECK(qelsRegExpSetMatchLimit(kMatchLimit, state) == qelOk);
    const int32_t captures = qel::re::header(state)->captureCount;
    QELFUZZ_CHECK(captures >= 1 && captures <= qel::re::kMaxCaptureRecords);

    // The template, flush against a guard with its zero, and a replace state
    // of exactly the reported size.
    GuardedText tpl(tmpl, true, true);
    int32_t rs_size = 0;
    QELFUZZ_CHECK(qelsRegExpReplaceGetSize(tpl.chars(), &rs_size) == qelOk);
    PageGuard rs_block(size_t(rs_size), true);
    auto* rs = rs_block.as<QelRegExpReplaceState>();
    QelStatus tst = qelsRegExpReplaceInit(tpl.chars(), rs);
    std::vector<Item> items;
    bool huge = false;
    bool parsed = parse_template(tmpl, items, huge);
    QELFUZZ_CHECK(tst == qelOk || tst == qelErrRegExpReference);
    if (!huge) QELFUZZ_CHECK(parsed == (tst == qelOk));

    const int32_t cap = 1 + (caps & 0x0F);
    const size_t n = subject.size();
    static const size_t dst_sizes[16] = {1, 2, 3, 7, 16, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    size_t dst_cap = dst_sizes[caps >> 4];
    if (dst_cap == 0) dst_cap = n * size_t((caps >> 4) - 4) + 1 + tmpl.size() * size_t(caps >> 4);

    for (int32_t format : {1, 0}) {
        QELFUZZ_CHECK(qelsRegExpSetFormat(format, state) == qelOk);
        for (bool at_tail : {true, false}) {
            GuardedText subj(subject, at_tail);
            std::vector<QelRegExpFind> found;
            check_find(state, subj.bytes(), n, cap, global, captures, &found);
            if (tst == qelOk)
                check_replace(state, rs, huge ? nullptr : &items, subj.bytes(), n, cap, int32_t(dst_cap), global,
                              captures, &found);
        }
    }
    return 0;
}
