// Property parser: "\p" and "\P" escapes, inside and outside bracket classes.
//
// Every accepted escape becomes exactly one node: RE_UPROP for a general
// category, RE_URANGE for a block or "Any", RE_URANGES for a script (pointing
// into the read-only script tables). On failure nothing is written and the
// cursor is left on the first byte that was rejected, which is the error
// offset the callers report.
//
// The pattern is zero-terminated and every comparison below stops at the
// first byte that differs, so no read goes past the terminating zero.
#include <cstring>

#include "regex/compile/parse.h"
#include "regex/compile/unicode_tables.h"

namespace qel::re {

namespace {

struct CategoryName {
    char name[3];
    int32_t value;
};

// Two-letter names, compared as two-byte prefixes of the braced name.
constexpr CategoryName kCategoryNames[] = {
    {"Ll", 0x0081}, {"Lu", 0x0082}, {"Lt", 0x0084}, {"Lm", 0x0088}, {"Lo", 0x0090}, {"L&", 0x0087},
    {"Mn", 0x0101}, {"Mc", 0x0102}, {"Me", 0x0104},
    {"Zs", 0x0201}, {"Zl", 0x0202}, {"Zp", 0x0204},
    {"Sm", 0x0401}, {"Sc", 0x0402}, {"Sk", 0x0404}, {"So", 0x0408},
    {"Nd", 0x0801}, {"Nl", 0x0802}, {"No", 0x0804},
    {"Pd", 0x1001}, {"Ps", 0x1002}, {"Pe", 0x1004}, {"Pi", 0x1008}, {"Pf", 0x1010}, {"Pc", 0x1020}, {"Po", 0x1040},
    {"Cc", 0x2001}, {"Cf", 0x2002}, {"Co", 0x2004}, {"Cs", 0x2008}, {"Cn", 0x2010},
};

constexpr int32_t kAnyLast = 0x10FFFF;

// Major class of a category letter, or 0 when the byte names none.
int32_t major_category(char letter) {
    switch (letter) {
    case 'C': return 0x2000;
    case 'L': return 0x0080;
    case 'M': return 0x0100;
    case 'N': return 0x0800;
    case 'P': return 0x1000;
    case 'S': return 0x0400;
    case 'Z': return 0x0200;
    default: return 0;
    }
}

void write_node(RegExpNode* nodes, int32_t& nodeCount, uint32_t kind, int32_t w1, int32_t w2, int32_t w3,
                const void* pointer = nullptr) {
    RegExpNode& n = nodes[nodeCount++];
    n.w0 = kind;
    n.w1 = w1;
    n.w2 = w2;
    n.w3 = w3;
    set_node_pointer(n, pointer);
}

// Category named at `name` ("Lu", "L&", "Co}" ...): its value and the bytes
// it takes, or 0. "Co" must be followed by "}" so that "Common" and "Coptic"
// reach the script lookup.
int32_t braced_category(const char* name, int32_t* length) {
    for (const CategoryName& c : kCategoryNames) {
        if (name[0] != c.name[0] || name[1] != c.name[1]) continue;
        if (c.value == 0x2004 && name[2] != '}') continue;
        *length = 2;
        return c.value;
    }
    if (name[1] == '}') {
        *length = 1;
        return major_category(name[0]);
    }
    return 0;
}

// The first "}" at or after p, or null when the pattern ends first.
const char* find_close(const char* p) {
    while (*p != '\0' && *p != '}') ++p;
    return *p == '}' ? p : nullptr;
}

// The block named by the text from `name` to `close`: the block with exactly
// that name, else the first block (in table order) whose name begins with it.
// The exact pass matters where a full name is also the beginning of an
// earlier block's name: "InCJKUnifiedIdeographs" must not select
// "InCJKUnifiedIdeographsExtensionA".
const UnicodeBlock* find_block(const char* name, const char* close) {
    size_t length = size_t(close - name);
    if (length >= sizeof kBlocks[0].name) return nullptr;
    for (const UnicodeBlock& b : kBlocks)
        if (b.name[length] == '\0' && std::memcmp(b.name, name, length) == 0) return &b;
    for (const UnicodeBlock& b : kBlocks)
        if (std::memcmp(b.name, name, length) == 0) return &b;
    return nullptr;
}

// The script named exactly by the text from `name` to `close`.
const ScriptTable* find_script(const char* name, const char* close) {
    size_t length = size_t(close - name);
    for (const ScriptTable& s : kScripts)
        if (size_t(s.nameLength) == length && std::memcmp(s.name, name, length) == 0) return &s;
    return nullptr;
}

}  // namespace

int ownRegExpParseProperty(const char*& cursor, RegExpNode* nodes, int32_t& nodeCount, int32_t negate) {
    const char* p = cursor + 1;  // past the 'p' / 'P'

    if (*p != '{') {
        int32_t major = major_category(*p);
        if (major == 0) {
            cursor = p;
            return -1;
        }
        write_node(nodes, nodeCount, RE_UPROP, major, negate, 0);
        cursor = p + 1;
        return 0;
    }

    ++p;
    if (*p == '^') {
        if (negate != 0) {  // "\P{^...}": negated twice
            cursor = p;
            return -1;
        }
        negate = -1;
        ++p;
    }

    const char* name = p;
    const char* end = nullptr;  // on the closing "}" once a name is taken
    int32_t category = 0;
    int32_t length = 0;
    if (name[0] == 'A' && name[1] == 'n' && name[2] == 'y') {
        end = name + 3;
        if (*end != '}') {
            cursor = end;
            return -1;
        }
        write_node(nodes, nodeCount, RE_URANGE, 0, kAnyLast, negate);
        cursor = end + 1;
        return 0;
    }
    if (major_category(name[0]) != 0 && (category = braced_category(name, &length)) != 0) {
        end = name + length;
        if (*end != '}') {
            cursor = end;
            return -1;
        }
        write_node(nodes, nodeCount, RE_UPROP, category, negate, 0);
        cursor = end + 1;
        return 0;
    }

    const char* close = find_close(name);
    if (close == nullptr) {
        cursor = name;
        return -1;
    }
    if (name[0] == 'I') {
        if (const UnicodeBlock* b = find_block(name, close)) {
            write_node(nodes, nodeCount, RE_URANGE, b->first, b->last, negate);
            cursor = close + 1;
            return 0;
        }
    }
    const ScriptTable* s = find_script(name, close);
    if (s == nullptr) {
        cursor = name;
        return -1;
    }
    write_node(nodes, nodeCount, RE_URANGES, 1, negate, s->pairCount, s->pairs);
    cursor = close + 1;
    return 0;
}

}  // namespace qel::re
