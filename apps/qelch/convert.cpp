// qelch convert: UTF-8 <-> UTF-16 (little- or big-endian, or with a byte
// order mark), streaming. The library's converters are resumable: what they
// leave unconsumed at the end of a block (a sequence cut by the block end, a
// high surrogate waiting for its pair) is carried over to the next block, so
// the output equals that of converting the whole input at once.
//
// Invalid input passes through unit by unit by default, as the library
// converts it. --strict and --replace-invalid check the input first: the
// former stops at the first invalid sequence, the latter puts U+FFFD in
// place of each maximal invalid part, so that the library sees valid text.
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "common.h"

namespace app {
namespace {

const char* kHelp =
    "usage: qelch convert -f FROM -t TO [--strict | -c] [FILE...]\n"
    "\n"
    "Converts the input to standard output. FROM and TO are UTF-8, UTF-16LE,\n"
    "UTF-16BE or UTF-16 (case and '-' do not matter; --from/--to also work).\n"
    "UTF-16 input starts with a byte order mark that says its order (little-\n"
    "endian without one); UTF-16 output is little-endian after a mark.\n"
    "\n"
    "By default invalid input (a malformed or cut UTF-8 sequence, an unpaired\n"
    "surrogate) is passed through unit by unit, never refused.\n"
    "  --strict                 stop at the first invalid sequence: its byte\n"
    "                           offset goes to standard error, exit status 1\n"
    "  -c, --replace-invalid    write U+FFFD for each invalid sequence\n"
    "Exit status: 0 done, 1 invalid input with --strict, 2 error.\n";

enum class Enc { kUtf8, kUtf16Le, kUtf16Be, kUtf16 };
enum class Mode { kPass, kStrict, kReplace };

bool parse_encoding(std::string name, Enc& out) {
    std::string n;
    for (char c : name)
        if (c != '-' && c != '_') n += char(std::toupper(static_cast<unsigned char>(c)));
    if (n == "UTF8") out = Enc::kUtf8;
    else if (n == "UTF16LE") out = Enc::kUtf16Le;
    else if (n == "UTF16BE") out = Enc::kUtf16Be;
    else if (n == "UTF16") out = Enc::kUtf16;
    else return false;
    return true;
}

inline Qel16u swap16(Qel16u u) { return Qel16u((u << 8) | (u >> 8)); }

// Length of the valid UTF-8 sequence at s[0..n), 0 when it is invalid, or -1
// when it is a valid beginning cut off by the end of the data. An invalid
// sequence's maximal part is given in *bad (at least 1).
int utf8_sequence(const unsigned char* s, size_t n, size_t* bad) {
    unsigned char b = s[0];
    *bad = 1;
    if (b < 0x80) return 1;
    int len;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (b >= 0xC2 && b <= 0xDF) len = 2;
    else if (b == 0xE0) len = 3, lo = 0xA0;
    else if (b == 0xED) len = 3, hi = 0x9F;  // no surrogates
    else if (b >= 0xE1 && b <= 0xEF) len = 3;
    else if (b == 0xF0) len = 4, lo = 0x90;
    else if (b == 0xF4) len = 4, hi = 0x8F;  // nothing above U+10FFFF
    else if (b >= 0xF1 && b <= 0xF3) len = 4;
    else return 0;
    for (int i = 1; i < len; ++i) {
        if (size_t(i) >= n) return -1;
        unsigned char c = s[i];
        if (c < (i == 1 ? lo : 0x80) || c > (i == 1 ? hi : 0xBF)) {
            *bad = size_t(i);
            return 0;
        }
    }
    return len;
}

struct Converter {
    Enc from = Enc::kUtf8, to = Enc::kUtf16Le;
    Mode mode = Mode::kPass;
    std::string name;
    std::string carry;  // unconsumed input bytes from the previous block
    uint64_t consumed = 0;  // input bytes of this file before `carry`
    bool at_start = true;
    bool swap_in = false;
    bool invalid = false;  // --strict met an invalid sequence
    bool mark_written = false;
    std::vector<Qel16u> units;
    std::string bytes, clean;
    Out out;

    void start_file(const std::string& path) {
        name = path == "-" ? "(standard input)" : path;
        carry.clear();
        consumed = 0;
        at_start = true;
        swap_in = from == Enc::kUtf16Be;
        // One mark for the whole output, as for one stream.
        if (to == Enc::kUtf16 && !mark_written) out.put(std::string_view("\xFF\xFE", 2));
        mark_written = true;
    }

    bool report(const char* what, uint64_t offset) {
        error("convert: " + name + ": " + what + " at byte offset " + std::to_string(offset));
        invalid = true;
        return false;
    }

    bool feed(std::string_view block, bool last) {
        carry.append(block);
        if (from == Enc::kUtf8) return from_utf8(last);
        return from_utf16(last);
    }

    // Writes UTF-16 units in the output's order.
    void put_units(const Qel16u* u, size_t n) {
        const bool big = to == Enc::kUtf16Be;
        size_t at = bytes.size();
        bytes.resize(at + n * 2);
        for (size_t i = 0; i < n; ++i) {
            Qel16u v = big ? swap16(u[i]) : u[i];
            std::memcpy(&bytes[at + 2 * i], &v, 2);
        }
    }

    bool from_utf8(bool last) {
        std::string_view text = carry;
        size_t keep = 0;  // bytes left for the next block
        bool stop = false;
        if (mode != Mode::kPass) {
            clean.clear();
            size_t i = 0;
            while (i < carry.size()) {
                const auto* s = reinterpret_cast<const unsigned char*>(carry.data()) + i;
                if (*s < 0x80) {  // runs of ASCII at once
                    size_t j = i;
                    while (j < carry.size() && static_cast<unsigned char>(carry[j]) < 0x80) ++j;
                    clean.append(carry, i, j - i);
                    i = j;
                    continue;
                }
                size_t bad = 1;
                int len = utf8_sequence(s, carry.size() - i, &bad);
                if (len < 0 && !last) break;  // completed by the next block
                if (len > 0) {
                    clean.append(carry, i, size_t(len));
                    i += size_t(len);
                    continue;
                }
                if (len < 0) bad = carry.size() - i;  // cut off by the end of the input
                if (mode == Mode::kStrict) {
                    stop = true;
                    report(len < 0 ? "incomplete UTF-8 sequence at the end" : "invalid UTF-8 sequence", consumed + i);
                    break;
                }
                clean += "\xEF\xBF\xBD";
                i += bad;
            }
            keep = stop ? 0 : carry.size() - i;
            text = clean;
        }
        if (to == Enc::kUtf8) {
            out.put(text);
        } else if (!text.empty()) {
            // The library converts what is whole and reports where it stopped.
            const Qel8u* src = reinterpret_cast<const Qel8u*>(text.data());
            int32_t srcLen = int32_t(text.size()), dstLen = srcLen;
            units.resize(size_t(srcLen) + 1);
            qelsConvertUTF_8u16u(src, &srcLen, units.data(), &dstLen, 0);
            if (last || mode != Mode::kPass) {
                // A sequence cut off by the end of the input: its bytes pass
                // through one unit each, as malformed bytes do.
                for (size_t i = size_t(srcLen); i < text.size(); ++i) units[size_t(dstLen++)] = Qel8u(text[i]);
                srcLen = int32_t(text.size());
            } else {
                keep = text.size() - size_t(srcLen);
            }
            bytes.clear();
            put_units(units.data(), size_t(dstLen));
            out.put(bytes);
        }
        consumed += carry.size() - keep;
        carry.erase(0, carry.size() - keep);
        return !stop && !out.failed();
    }

    bool from_utf16(bool last) {
        if (at_start && (carry.size() >= 2 || last)) {
            at_start = false;
            if (from == Enc::kUtf16 && carry.size() >= 2) {
                unsigned char b0 = static_cast<unsigned char>(carry[0]), b1 = static_cast<unsigned char>(carry[1]);
                if ((b0 == 0xFF && b1 == 0xFE) || (b0 == 0xFE && b1 == 0xFF)) {
                    swap_in = b0 == 0xFE;
                    carry.erase(0, 2);
                    consumed += 2;
                }
            }
        }
        if (at_start) return true;
        size_t whole = carry.size() / 2 * 2;
        bool odd_end = last && whole != carry.size();
        size_t n = whole / 2;
        units.resize(n + 2);
        for (size_t i = 0; i < n; ++i) {
            Qel16u u;
            std::memcpy(&u, &carry[2 * i], 2);
            units[i] = swap_in ? swap16(u) : u;
        }
        // Hold back a high surrogate at the end of a block: its pair may
        // start the next one.
        size_t avail = n;
        if (!last && avail > 0 && units[avail - 1] >= 0xD800 && units[avail - 1] <= 0xDBFF) --avail;
        bool stop = false;
        if (mode != Mode::kPass) {
            size_t w = 0;
            for (size_t i = 0; i < avail; ++i) {
                Qel16u u = units[i];
                bool high = u >= 0xD800 && u <= 0xDBFF, low = u >= 0xDC00 && u <= 0xDFFF;
                if (high && i + 1 < avail && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
                    units[w++] = u;
                    units[w++] = units[++i];
                } else if (high || low) {
                    if (mode == Mode::kStrict) {
                        report("unpaired surrogate", consumed + 2 * i);
                        avail = i;
                        stop = true;
                        break;
                    }
                    units[w++] = 0xFFFD;
                } else {
                    units[w++] = u;
                }
            }
            if (!stop && odd_end) {
                if (mode == Mode::kStrict) {
                    report("incomplete UTF-16 unit at the end", consumed + whole);
                    stop = true;
                } else {
                    units[w++] = 0xFFFD;
                }
                odd_end = false;
            }
            emit16(units.data(), w);
        } else {
            emit16(units.data(), avail);
        }
        if (odd_end) error("convert: " + name + ": the UTF-16 input has an odd number of bytes; the last byte is dropped");
        size_t used = stop ? carry.size() : (last ? carry.size() : avail * 2);
        consumed += used;
        carry.erase(0, used);
        return !stop && !out.failed();
    }

    void emit16(const Qel16u* u, size_t n) {
        bytes.clear();
        if (to != Enc::kUtf8) {
            put_units(u, n);
            out.put(bytes);
            return;
        }
        if (n == 0) return;
        int32_t srcLen = int32_t(n), dstLen = int32_t(n) * 3 + 4;
        bytes.resize(size_t(dstLen));
        qelsConvertUTF_16u8u(u, &srcLen, reinterpret_cast<Qel8u*>(bytes.data()), &dstLen, 0);
        out.put(std::string_view(bytes.data(), size_t(dstLen)));
    }
};

}  // namespace

int cmd_convert(const std::vector<std::string>& args) {
    if (wants_help(args)) {
        std::fputs(kHelp, stdout);
        return kFound;
    }
    std::string from, to;
    Mode mode = Mode::kPass;
    std::vector<std::string> files;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if ((a == "--from" || a == "--to" || a == "-f" || a == "-t") && i + 1 < args.size()) {
            (a == "--from" || a == "-f" ? from : to) = args[i + 1];
            ++i;
        } else if (a.rfind("--from=", 0) == 0 || a.rfind("--to=", 0) == 0) {
            (a[2] == 'f' ? from : to) = a.substr(a.find('=') + 1);
        } else if (a == "--strict") {
            mode = Mode::kStrict;
        } else if (a == "-c" || a == "--replace-invalid") {
            mode = Mode::kReplace;
        } else if (a.size() > 1 && a[0] == '-') {
            error("convert: unknown or incomplete option '" + a + "' (see qelch convert --help)");
            return kError;
        } else {
            files.push_back(a);
        }
    }
    Converter conv;
    conv.mode = mode;
    if (!parse_encoding(from, conv.from) || !parse_encoding(to, conv.to)) {
        error("convert: need -f FROM and -t TO, each UTF-8, UTF-16LE, UTF-16BE or UTF-16");
        return kError;
    }
    if (files.empty()) files.push_back("-");
    bool ok = true;
    for (const auto& f : files) {
        conv.start_file(f);
        bool read = for_each_block(f, [&](std::string_view b) { return conv.feed(b, false); });
        if (read) read = conv.feed({}, true);
        ok = read && ok;
        if (conv.invalid || conv.out.failed()) break;
    }
    if (!conv.out.flush()) return kError;
    if (conv.invalid) return kNothing;
    return ok ? kFound : kError;
}

}  // namespace app
