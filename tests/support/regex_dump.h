// Compact text form of compiled regular-expression nodes, for table-driven
// tests: one item per node, joined with " | ", e.g.
//   "abc+"  ->  STRING 'ab' | CHAR 'c' | GREEDY 1,inf
//
// Per kind:
//   CHAR 'a' / CHAR 0x0a      byte value (printable ASCII quoted); " neg" for w3 = -1
//   STRING 'ab'               the bytes the node points to
//   UCHAR 0x20ac, RANGE 'a'-'z', PREDEF d, BYTE, GRAPHEME   (" neg" for w3 = -1)
//   UPROP 0x80 / URANGE 0x0-0x7f / URANGES 51   (" neg" for a set negation flag)
//   CLASS 2 / CLASS^ 2        header and its member count
//   ANCHOR ^ / ANCHOR 128     BACKREF 1     SETOPTS 0x4
//   ALT 0 [o=0x4]             link value, options when not 0
//   GREEDY 2,inf / LAZY 0,1
//   CAPTURE 1 len=1 cap=1, GROUP 1 len=3, ATOMIC -1 len=1, LOOKAHEAD -1 len=1,
//   NLOOKAHEAD, LOOKBEHIND -1 len=2 width=2, NLOOKBEHIND, COND 1 len=4,
//   GROUP_OPTS 1 len=1 o=0x4
//   CLOSE 1 [o=0x4] [w3=1]    link value, restored options and loop flag when not 0
#ifndef QELCH_TEST_REGEX_DUMP_H
#define QELCH_TEST_REGEX_DUMP_H

#include <cstdio>
#include <string>
#include <vector>

#include "qelch.h"
#include "regex/regexp_state.h"

namespace qeltest {

inline std::string re_value(int32_t v) {
    char buf[32];
    if (v >= 0x21 && v <= 0x7e && v != '\'') std::snprintf(buf, sizeof buf, "'%c'", char(v));
    else std::snprintf(buf, sizeof buf, "0x%02x", unsigned(v));
    return buf;
}

inline std::string re_count(int32_t v) { return v == qel::re::RE_UNBOUNDED ? "inf" : std::to_string(v); }

inline std::string re_hex(int32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%x", unsigned(v));
    return buf;
}

inline std::string dump_node(const qel::re::RegExpNode& n) {
    using namespace qel::re;
    const std::string neg3 = n.w3 == -1 ? " neg" : "";
    auto group = [&](const char* name) {
        return std::string(name) + " " + std::to_string(n.w1) + " len=" + std::to_string(n.w2);
    };
    switch (n.w0) {
        case RE_CHAR: return "CHAR " + re_value(n.w1) + neg3;
        case RE_STRING: {
            std::string s = "STRING '";
            const auto* p = static_cast<const unsigned char*>(node_pointer(n));
            for (int32_t i = 0; i < n.w2; ++i) {
                if (p[i] >= 0x20 && p[i] < 0x7f) {
                    s += char(p[i]);
                } else {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\x%02x", p[i]);
                    s += buf;
                }
            }
            return s + "'";
        }
        case RE_BACKREF: return "BACKREF " + std::to_string(n.w1);
        case RE_CLASS: return std::string(n.w1 ? "CLASS^ " : "CLASS ") + std::to_string(n.w2);
        case RE_PREDEF: return std::string("PREDEF ") + char(n.w1) + neg3;
        case RE_ANCHOR:
            return n.w1 == RE_ANCHOR_LINE_START ? "ANCHOR 128" : std::string("ANCHOR ") + char(n.w1);
        case RE_ALT_END: return "ALT " + std::to_string(n.w1) + (n.w2 ? " o=" + re_hex(n.w2) : "");
        case RE_RANGE: return "RANGE " + re_value(n.w1) + "-" + re_value(n.w2) + neg3;
        case RE_LAZY: return "LAZY " + re_count(n.w1) + "," + re_count(n.w2);
        case RE_GREEDY: return "GREEDY " + re_count(n.w1) + "," + re_count(n.w2);
        case RE_LOOKBEHIND: return group("LOOKBEHIND") + " width=" + std::to_string(n.w3);
        case RE_NLOOKBEHIND: return group("NLOOKBEHIND") + " width=" + std::to_string(n.w3);
        case RE_LOOKAHEAD: return group("LOOKAHEAD");
        case RE_NLOOKAHEAD: return group("NLOOKAHEAD");
        case RE_GROUP_OPTS: return group("GROUP_OPTS") + " o=" + re_hex(n.w3);
        case RE_COND: return group("COND");
        case RE_CAPTURE: return group("CAPTURE") + " cap=" + std::to_string(n.w3);
        case RE_GROUP: return group("GROUP");
        case RE_ATOMIC: return group("ATOMIC");
        case RE_CLOSE:
            return "CLOSE " + std::to_string(n.w1) + (n.w2 ? " o=" + re_hex(n.w2) : "") +
                   (n.w3 ? " w3=" + std::to_string(n.w3) : "");
        case RE_SETOPTS: return "SETOPTS " + re_hex(n.w1);
        case RE_BYTE: return "BYTE";
        case RE_UCHAR: return "UCHAR " + re_hex(n.w1) + neg3;
        case RE_UPROP: return "UPROP " + re_hex(n.w1) + (n.w2 ? " neg" : "");
        case RE_URANGE: return "URANGE " + re_hex(n.w1) + "-" + re_hex(n.w2) + (n.w3 ? " neg" : "");
        case RE_URANGES: return "URANGES " + std::to_string(n.w3) + (n.w2 ? " neg" : "");
        case RE_GRAPHEME: return "GRAPHEME" + neg3;
        default: return "?" + re_hex(int32_t(n.w0));
    }
}

inline std::string dump_nodes(const qel::re::RegExpNode* nodes, int32_t count) {
    std::string out;
    for (int32_t i = 0; i < count; ++i) {
        if (i) out += " | ";
        out += dump_node(nodes[i]);
    }
    return out;
}

inline std::string dump_state(const QelRegExpState* state) {
    return dump_nodes(qel::re::node_array(state), qel::re::header(state)->nodeCount);
}

// Compiles into a block of exactly the reported size and renders the result:
// the node dump on success, "ERR <status> @<offset>" on failure.
struct CompiledPattern {
    QelStatus status = 0;
    int32_t offset = -1;
    std::vector<unsigned char> block;
    const QelRegExpState* state() const { return reinterpret_cast<const QelRegExpState*>(block.data()); }
    const qel::re::StateHeader& header() const { return *qel::re::header(state()); }
    std::string dump() const {
        if (status != qelOk) return "ERR " + std::to_string(status) + " @" + std::to_string(offset);
        return dump_state(state());
    }
};

inline CompiledPattern compile_pattern(const std::string& pattern, const char* options = nullptr) {
    CompiledPattern c;
    int32_t size = 0;
    if (qelsRegExpGetSize(pattern.c_str(), &size) != qelOk) return c;
    c.block.assign(size_t(size), 0);
    c.status = qelsRegExpInit(pattern.c_str(), options, reinterpret_cast<QelRegExpState*>(c.block.data()), &c.offset);
    return c;
}

}  // namespace qeltest

#endif
