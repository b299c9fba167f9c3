// Encoding fuzz target: the library against the step-by-step reference, with
// an exactly sized heap source and destination so the sanitizer sees any
// access outside them. Input: one flag byte (bit 0: byte-swapped units), two
// bytes choosing the destination room, then the 16-bit units (little-endian
// byte pairs; an odd last byte is dropped).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "qelch.h"
#include "support/utf_reference.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const bool swap = data[0] & 1;
    const size_t room_pick = static_cast<size_t>(data[1]) | static_cast<size_t>(data[2]) << 8;
    const size_t n = (size - 3) / 2;
    std::vector<uint16_t> src(n);
    if (n) std::memcpy(src.data(), data + 3, n * 2);
    const size_t room = (data[0] & 2) ? room_pick % (3 * n + 2) : 3 * n + 1;

    std::vector<uint8_t> want(room + 1, 0x5A);
    const auto r = qeltest::ref_utf16_to_utf8(src.data(), static_cast<int32_t>(n), want.data(), static_cast<int32_t>(room), swap);

    std::vector<uint8_t> got(room ? room : 1, 0x5A);
    int32_t read = static_cast<int32_t>(n), written = static_cast<int32_t>(room);
    const uint16_t none = 0;
    if (qelsConvertUTF_16u8u(n ? src.data() : &none, &read, got.data(), &written, swap) != qelOk) std::abort();
    if (read != r.read || written != r.written) std::abort();
    for (size_t k = 0; k < room; ++k)
        if (got[k] != want[k]) std::abort();  // past the count too: it must stay untouched
    return 0;
}
