// Template replacement: the template is parsed once into items that point
// into the caller's template text; a replacement runs the search driver and
// assembles the output piece by piece.
//
// The room rule: a piece is written only while it leaves at least one byte of
// the destination free (room > piece + what this replacement already wrote),
// so a caller can always tell a finished output from a cut one by the lengths
// returned, and continue with the rest of the subject.
#include "frame/frame.h"
#include "regex/match/match.h"

namespace qel::re {
namespace {

enum : uint32_t {
    REPL_TEXT = 0x10000001,
    REPL_GROUP = 0x10000002,
};

struct __attribute__((packed)) ReplaceItem {
    uint32_t kind;
    int32_t value;  // text length, or capture number (0 for "$&")
    const Qel8u* text;
};
static_assert(sizeof(ReplaceItem) == 16);

struct __attribute__((packed)) ReplaceHeader {
    uint32_t reserved;
    int32_t itemCount;
    ReplaceItem* items;
};
static_assert(sizeof(ReplaceHeader) == 16);

constexpr int32_t kReplaceHeaderSize = 16;
constexpr int32_t kReplaceItemSize = 16;

ReplaceHeader* replace_header(QelRegExpReplaceState* s) { return reinterpret_cast<ReplaceHeader*>(s); }

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

QelStatus parse_template(const char* tmpl, ReplaceHeader& h) {
    ReplaceItem* items = h.items;
    int32_t n = 0;
    const char* run = tmpl;
    const char* p = tmpl;
    auto emit_run = [&](const char* stop) {
        if (stop > run) items[n++] = {REPL_TEXT, static_cast<int32_t>(stop - run), reinterpret_cast<const Qel8u*>(run)};
    };
    while (*p != '\0') {
        if (*p == '$') {
            emit_run(p);
            ++p;
            if (*p == '$') {
                // "$$" writes one dollar sign: the second one opens the next
                // literal run, so "$$x" is a single text item "$x".
                run = p++;
                continue;
            }
            if (*p == '&') {
                items[n++] = {REPL_GROUP, 0, nullptr};
                ++p;
            } else if (is_digit(*p)) {
                // All digits are read; numbers beyond any capture simply
                // insert nothing, so the value saturates instead of wrapping.
                int64_t number = 0;
                for (; is_digit(*p); ++p) {
                    number = number * 10 + (*p - '0');
                    if (number > INT32_MAX) number = INT32_MAX;
                }
                if (number == 0) return qelErrRegExpReference;
                items[n++] = {REPL_GROUP, static_cast<int32_t>(number), nullptr};
            } else {
                return qelErrRegExpReference;
            }
            run = p;
        } else if (*p == '\\') {
            // The backslash itself is dropped; the byte after it is read by
            // the same rules.
            emit_run(p);
            ++p;
            run = p;
        } else {
            ++p;
        }
    }
    emit_run(p);
    h.itemCount = n;
    return qelOk;
}

// Where the output stands: bytes of the subject consumed, bytes of dst
// committed, room left.
struct Output {
    int32_t read;
    int32_t written;
    int32_t room;
};

}  // namespace
}  // namespace qel::re

using namespace qel::re;

extern "C" QEL_API QelStatus qelsRegExpReplaceGetSize(const char* tmpl, int32_t* size) {
    if (size == nullptr) return qelErrNullPtr;
    int64_t len = 0;
    if (tmpl != nullptr)
        while (tmpl[len] != '\0') ++len;
    *size = static_cast<int32_t>(kReplaceHeaderSize + kReplaceItemSize * len);
    return qelOk;
}

extern "C" QEL_API QelStatus qelsRegExpReplaceInit(const char* tmpl, QelRegExpReplaceState* replaceState) {
    if (replaceState == nullptr) return qelErrNullPtr;
    ReplaceHeader& h = *replace_header(replaceState);
    h.reserved = 0;
    h.itemCount = 0;
    if (tmpl == nullptr) {
        h.items = nullptr;
        return qelOk;
    }
    h.items = reinterpret_cast<ReplaceItem*>(reinterpret_cast<uint8_t*>(replaceState) + kReplaceHeaderSize);
    return parse_template(tmpl, h);
}

extern "C" QEL_API QelStatus qelsRegExpReplace_8u(const Qel8u* subject, int32_t* subjectLen, Qel8u* dst,
                                                  int32_t* dstLen, QelRegExpFind* results, int32_t* resultCount,
                                                  QelRegExpState* state, QelRegExpReplaceState* replaceState) {
    if (qel::any_null(subject, subjectLen, state, dst, replaceState, dstLen, resultCount, results)) return qelErrNullPtr;
    if (*subjectLen < 1) return qelErrSize;
    if (*dstLen < 1) return qelErrSize;

    const bool global = (header(state)->options & RE_OPT_GLOBAL) != 0;
    QelStatus status = ownRegExpSearch(subject, *subjectLen, state, results, resultCount, global ? 1 : 0);
    // A search that failed on the state itself leaves the caller's array
    // holding records that are not from this search: write nothing.
    if (status == qelErrBadState || status == qelErrMatchLimit) return status;

    const int32_t found = *resultCount;
    if (found < 1) {
        int32_t n = *subjectLen < *dstLen ? *subjectLen : *dstLen;
        qel::copy_bytes(subject, dst, static_cast<size_t>(n));
        *subjectLen = n;
        *dstLen = n;
        return status;
    }

    const ReplaceHeader& rh = *replace_header(replaceState);
    const int32_t itemCount = rh.items != nullptr ? rh.itemCount : 0;
    const int32_t setSize = global ? header(state)->captureCount : found;
    Output out{0, 0, *dstLen};

    for (int32_t base = 0; base < found; base += setSize) {
        const QelRegExpFind* set = results + base;
        const int32_t matchStart = static_cast<int32_t>(set[0].pointer - subject);
        const int32_t matchEnd = matchStart + set[0].length;
        const int32_t gap = matchStart - out.read;
        if (gap > 0) {
            if (gap >= out.room) {  // outcome A
                *subjectLen = out.read;
                *dstLen = out.written;
                return status;
            }
            qel::copy_bytes(subject + out.read, dst + out.written, static_cast<size_t>(gap));
            out.written += gap;
            out.room -= gap;
        }
        int32_t cur = 0;
        for (int32_t i = 0; i < itemCount; ++i) {
            const ReplaceItem& item = rh.items[i];
            const Qel8u* piece = nullptr;
            int32_t len = 0;
            if (item.kind == REPL_TEXT) {
                piece = item.text;
                len = item.value;
            } else {
                const int32_t number = item.value;
                const bool present = global ? (number < setSize && base + number < found) : number < found;
                if (present && set[number].length >= 0) {
                    piece = set[number].pointer;
                    len = set[number].length;
                }
            }
            if (len <= 0) continue;
            if (out.room <= len + cur) {  // outcome B
                *subjectLen = matchStart;
                *dstLen = out.written;
                return status;
            }
            qel::copy_bytes(piece, dst + out.written + cur, static_cast<size_t>(len));
            cur += len;
        }
        out.written += cur;
        out.room -= cur;
        out.read = matchEnd;
    }

    const int32_t tail = *subjectLen - out.read;
    if (tail < out.room) {
        if (tail > 0) qel::copy_bytes(subject + out.read, dst + out.written, static_cast<size_t>(tail));
        out.written += tail;
        *dstLen = out.written;
        // *subjectLen already holds the whole subject length.
    } else {
        *subjectLen = out.read;
        *dstLen = out.written;
    }
    return status;
}
