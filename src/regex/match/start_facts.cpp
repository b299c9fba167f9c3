// Start facts of a compiled pattern for the pattern-set search, and the cost
// estimate that orders the slots.
#include "regex/match/start_facts.h"

namespace qel::re {

void slot_start_facts(const QelRegExpState* state, StartFacts& f) {
    f = StartFacts{};
    const StateHeader& h = *header(state);
    if (h.identifier != kStateIdentifier || h.nodeCount < 0 || h.captureCount < 1 ||
        h.captureCount > kMaxCaptureRecords)
        return;
    f.valid = true;
    f.nodeCount = h.nodeCount;
    const RegExpNode* nodes = node_array(state);
    if (h.nodeCount > 0 && nodes[0].w0 == RE_ANCHOR) {
        bool bar = false;
        for (int32_t i = 0; i < h.nodeCount && !bar; ++i) bar = nodes[i].w0 == RE_ALT_END && nodes[i].w1 == 0;
        const int32_t letter = nodes[0].w1;
        const bool optional = h.nodeCount >= 2 && (nodes[1].w0 == RE_LAZY || nodes[1].w0 == RE_GREEDY) && nodes[1].w1 == 0;
        f.anchored = !bar && !optional && (letter == 'A' || letter == 'G' || letter == '^');
    }
    StartFilter sf;
    derive_start_filter(state, sf);
    f.useByteSet = sf.useByteSet;
    f.firstBytes = sf.firstBytes;
    f.useLiteral = sf.useLiteral;
    f.literalFolded = sf.literalFolded;
    f.literal = sf.literal;
    f.literalLen = sf.literalLen;
    f.maxOffset = sf.maxOffset;
}

double estimate_search_cost(const StartFacts& f, int32_t len, const uint32_t* freq, uint32_t sampled) {
    if (!f.valid) return 0;
    const double n = len;
    if (f.anchored) return 1 + f.nodeCount;
    const double total = sampled > 0 ? double(sampled) : 1.0;
    // Share of positions where the matcher runs: the rarer of what the
    // first-byte set and the required literal let through.
    double rate = 1.0;
    if (f.useByteSet) {
        uint64_t in = 0;
        for (int b = 0; b < 256; ++b)
            if (f.firstBytes.has(uint8_t(b))) in += freq[b];
        rate = double(in) / total;
    }
    if (f.useLiteral) {
        double rarest = 1.0;
        for (int32_t i = 0; i < f.literalLen; ++i) {
            uint8_t b = f.literal[i];
            uint64_t c = freq[b];
            if (f.literalFolded && ((b | 0x20) >= 'a' && (b | 0x20) <= 'z')) c += freq[b ^ 0x20];
            double r = double(c) / total;
            rarest = r < rarest ? r : rarest;
        }
        rate = rarest < rate ? rarest : rate;
    }
    // A vector pass over the subject, plus a match attempt per candidate
    // whose price grows with the pattern.
    return n * (0.05 + rate * (4.0 + f.nodeCount));
}

}  // namespace qel::re
