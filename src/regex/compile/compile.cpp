// One compilation: marker, options, pre-scan, header, emitting pass, and the
// finishing pass that makes the state independent of the pattern buffer.
#include "frame/frame.h"
#include "regex/compile/compiler.h"
#include "regex/match/dfa.h"
#include "regex/match/linear.h"

namespace qel::re {

namespace {

bool is_literal(uint32_t kind) { return kind == RE_CHAR || kind == RE_STRING; }

// The prefilter candidate counts only if nothing but repeats follows it.
int32_t check_prefilter(const RegExpNode* nodes, int32_t count, int32_t candidate) {
    if (candidate < 0) return candidate;
    for (int32_t i = candidate + 1; i < count; ++i)
        if (!is_repeat(nodes[i].w0)) return -1;
    return candidate;
}

// RE_STRING nodes point into the pattern while compiling; give them their own
// copy right after the last node, so the caller may drop the pattern.
void copy_literal_text(RegExpNode* nodes, int32_t count) {
    uint8_t* text = reinterpret_cast<uint8_t*>(nodes + count);
    for (int32_t i = 0; i < count; ++i) {
        RegExpNode& n = nodes[i];
        if (n.w0 != RE_STRING) continue;
        const uint8_t* end = static_cast<const uint8_t*>(node_pointer(n));
        copy_bytes(end - n.w2, text, size_t(n.w2));
        set_node_pointer(n, text);
        text += n.w2;
    }
}

int32_t search_mode(const RegExpNode* nodes, int32_t count, int32_t prefilter) {
    bool anyBar = false;
    for (int32_t i = 0; i < count; ++i) anyBar |= nodes[i].w0 == RE_ALT_END;
    if (prefilter != -2 && count >= 1 && is_literal(nodes[0].w0) && !anyBar &&
        !(count >= 2 && is_repeat(nodes[1].w0) && nodes[1].w1 == 0))
        return 1;
    if (count >= 3 && count % 2 == 1) {
        bool literalAlternation = true;
        for (int32_t i = 1; i < count && literalAlternation; i += 2)
            literalAlternation =
                nodes[i].w0 == RE_ALT_END && is_literal(nodes[i - 1].w0) && is_literal(nodes[i + 1].w0);
        if (literalAlternation) return 2;
    }
    return 0;
}

}  // namespace

QelStatus compile_pattern(const char* pattern, size_t len, const char* options, QelRegExpState* state,
                          int32_t* errOffset) {
    RegExpNode* nodes = node_array(state);
    int32_t first = 0;
    if (has_leading_wildcard(pattern, len)) {
        nodes[0] = RegExpNode{RE_ANCHOR, RE_ANCHOR_LINE_START, 0, 0, 0, 0};
        first = 1;
    }
    uint32_t bits;
    if (!parse_options(options, &bits)) {
        *errOffset = 0;
        return qelErrRegExpOption;
    }
    int32_t captureCount;
    QelStatus st = prescan(pattern, len, bits, &captureCount, errOffset);
    if (st != qelOk) return st;

    StateHeader* h = header(state);
    // Defensive: the capture table has room for record 0 and 999 captures.
    h->captureCount = captureCount < kMaxCaptureRecords ? captureCount : kMaxCaptureRecords;
    h->identifier = kStateIdentifier;
    h->options = bits;
    h->format = 1;

    Parser ps;
    ps.pattern = pattern;
    ps.end = pattern + len;
    ps.cur = pattern;
    ps.nodes = nodes;
    ps.nodeCount = first;
    ps.runCount = 0;
    ps.runEnd = pattern;
    ps.itemEnd = pattern;
    ps.optionSettingEnd = nullptr;
    ps.options = bits;
    ps.depth = 0;
    ps.ordinal = 1;
    ps.capture = 1;
    ps.captureCount = captureCount;
    ps.prefilter = -1;
    ps.classEnd = -1;
    ps.errOffset = 0;
    st = emit_pattern(ps);
    if (st != qelOk) {
        *errOffset = ps.errOffset;
        return st;
    }
    if (ps.depth != 0) {  // the pre-scan rules this out; never leave a group half-built
        *errOffset = static_cast<int32_t>(len);
        return qelErrRegExpGroup;
    }

    flush_run(ps);
    int32_t prefilter = check_prefilter(nodes, ps.nodeCount, ps.prefilter);
    copy_literal_text(nodes, ps.nodeCount);
    h->prefilterNode = prefilter;
    h->nodeCount = ps.nodeCount;
    h->matchLimit = kDefaultMatchLimit;
    h->searchMode = search_mode(nodes, ps.nodeCount, prefilter);
    // Groups 1 to ordinal - 1 are the pattern's; the plan goes above them.
    build_search_plan(state, ps.ordinal);
    linear_prepare(state);
    dfa_prepare(state);
    return qelOk;
}

}  // namespace qel::re
