// The peer engines of the regular-expression benchmarks, set up and driven
// the same way in every program: PCRE2 (interpreter or JIT) and RE2 over
// byte subjects. The global loops count matches the way qelch's global
// search does: after an empty match the next search starts one byte later.
#ifndef QELCH_BENCH_REGEX_PEERS_H
#define QELCH_BENCH_REGEX_PEERS_H

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>
#include <re2/re2.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace qelbench {

// Null when PCRE2 refuses the pattern.
inline pcre2_code* pcre2_compile_for(const char* regex, uint32_t options, bool jit) {
    int errcode = 0;
    PCRE2_SIZE off = 0;
    pcre2_code* code =
        pcre2_compile(reinterpret_cast<PCRE2_SPTR>(regex), PCRE2_ZERO_TERMINATED, options, &errcode, &off, nullptr);
    if (code != nullptr && jit) pcre2_jit_compile(code, PCRE2_JIT_COMPLETE);
    return code;
}

inline int64_t pcre2_count_all(const pcre2_code* code, pcre2_match_data* md, std::string_view t) {
    int64_t matches = 0;
    PCRE2_SIZE pos = 0;
    while (pos <= t.size()) {
        int rc = pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(t.data()), t.size(), pos, 0, md, nullptr);
        if (rc < 0) break;
        PCRE2_SIZE* ov = pcre2_get_ovector_pointer(md);
        ++matches;
        pos = ov[1] > ov[0] ? ov[1] : ov[0] + 1;
    }
    return matches;
}

// Byte subjects, as qelch's format 0.
inline RE2::Options re2_byte_options() {
    RE2::Options o;
    o.set_encoding(RE2::Options::EncodingLatin1);
    return o;
}

inline int64_t re2_count_all(const RE2& re, std::string_view t) {
    int64_t matches = 0;
    re2::StringPiece in(t.data(), t.size());
    re2::StringPiece m;
    size_t pos = 0;
    while (pos <= t.size() && re.Match(in, pos, t.size(), RE2::UNANCHORED, &m, 1)) {
        ++matches;
        size_t start = static_cast<size_t>(m.data() - t.data());
        pos = m.size() ? start + m.size() : start + 1;
    }
    return matches;
}

}  // namespace qelbench

#endif
