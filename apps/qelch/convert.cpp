// qelch convert: UTF-8 <-> UTF-16 (little- or big-endian), streaming. The
// library's converters are resumable: what they leave unconsumed at the end
// of a block (a sequence cut by the block end, a high surrogate waiting for
// its pair) is carried over to the next block, so the output equals that of
// converting the whole input at once.
#include <cstring>
#include <string>
#include <vector>

#include "common.h"

namespace app {
namespace {

const char* kHelp =
    "usage: qelch convert --from utf8 --to utf16le|utf16be [FILE...]\n"
    "       qelch convert --from utf16le|utf16be --to utf8 [FILE...]\n"
    "\n"
    "Converts the input to standard output. Malformed input is passed through\n"
    "unit by unit, never refused.\n";

struct Converter {
    bool to16 = true;
    int32_t swap = 0;
    std::string carry;  // unconsumed input bytes from the previous block
    std::vector<Qel16u> units;
    std::string bytes;
    Out out;

    bool feed(std::string_view block, bool last) {
        carry.append(block);
        return to16 ? decode(last) : encode(last);
    }

    bool decode(bool last) {
        const Qel8u* src = reinterpret_cast<const Qel8u*>(carry.data());
        int32_t srcLen = int32_t(carry.size()), dstLen = srcLen;
        units.resize(size_t(srcLen) + 1);
        qelsConvertUTF_8u16u(src, &srcLen, units.data(), &dstLen, swap);
        if (last) {
            // A sequence cut off by the end of the input: its bytes pass
            // through one unit each, as malformed bytes do.
            for (size_t i = size_t(srcLen); i < carry.size(); ++i) {
                Qel16u u = Qel8u(carry[i]);
                units[size_t(dstLen++)] = swap ? Qel16u((u << 8) | (u >> 8)) : u;
            }
            srcLen = int32_t(carry.size());
        }
        out.put(std::string_view(reinterpret_cast<const char*>(units.data()), size_t(dstLen) * 2));
        carry.erase(0, size_t(srcLen));
        return !out.failed();
    }

    bool encode(bool last) {
        size_t whole = carry.size() / 2 * 2;
        if (last && whole != carry.size()) {
            error("convert: the UTF-16 input has an odd number of bytes; the last byte is dropped");
            carry.resize(whole);
        }
        int32_t n = int32_t(whole / 2);
        units.resize(size_t(n) + 1);
        std::memcpy(units.data(), carry.data(), whole);
        // Hold back a high surrogate at the end of a block: its pair may
        // start the next one.
        int32_t avail = n;
        if (!last && avail > 0) {
            Qel16u u = units[size_t(avail - 1)];
            if (swap) u = Qel16u((u << 8) | (u >> 8));
            if (u >= 0xD800 && u <= 0xDBFF) --avail;
        }
        int32_t srcLen = avail, dstLen = avail * 3 + 4;
        bytes.resize(size_t(dstLen));
        qelsConvertUTF_16u8u(units.data(), &srcLen, reinterpret_cast<Qel8u*>(bytes.data()), &dstLen, swap);
        out.put(std::string_view(bytes.data(), size_t(dstLen)));
        carry.erase(0, size_t(srcLen) * 2);
        return !out.failed();
    }
};

}  // namespace

int cmd_convert(const std::vector<std::string>& args) {
    if (wants_help(args)) {
        std::fputs(kHelp, stdout);
        return kFound;
    }
    std::string from, to;
    std::vector<std::string> files;
    for (size_t i = 0; i < args.size(); ++i) {
        if ((args[i] == "--from" || args[i] == "--to") && i + 1 < args.size()) {
            (args[i] == "--from" ? from : to) = args[i + 1];
            ++i;
        } else if (args[i].size() > 1 && args[i][0] == '-') {
            error("convert: unknown or incomplete option '" + args[i] + "' (see qelch convert --help)");
            return kError;
        } else {
            files.push_back(args[i]);
        }
    }
    Converter conv;
    if (from == "utf8" && (to == "utf16le" || to == "utf16be")) {
        conv.to16 = true;
        conv.swap = to == "utf16be";
    } else if ((from == "utf16le" || from == "utf16be") && to == "utf8") {
        conv.to16 = false;
        conv.swap = from == "utf16be";
    } else {
        error("convert: need --from utf8 --to utf16le|utf16be, or --from utf16le|utf16be --to utf8");
        return kError;
    }
    if (files.empty()) files.push_back("-");
    bool ok = true;
    for (const auto& f : files) {
        ok = for_each_block(f, [&](std::string_view b) { return conv.feed(b, false); }) && ok;
        ok = conv.feed({}, true) && ok;
    }
    if (!conv.out.flush()) return kError;
    return ok ? kFound : kError;
}

}  // namespace app
