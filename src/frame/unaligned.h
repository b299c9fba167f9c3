// Unit access for caller memory that may be unaligned. A 16-bit string may
// start at any byte address, so a plain Qel16u* dereference would be
// undefined there (the compiler may assume 2-byte alignment); these go
// through memcpy, which compiles to the same single load or store.
#ifndef QELCH_FRAME_UNALIGNED_H
#define QELCH_FRAME_UNALIGNED_H

#include <cstddef>
#include <cstring>

namespace qel {

template <class T>
inline T load_unit(const T* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// A word of sizeof(W) bytes read from any byte address.
template <class W>
inline W load_word(const unsigned char* p) {
    W w;
    std::memcpy(&w, p, sizeof w);
    return w;
}

template <class T>
inline void store_unit(T* p, T v) {
    std::memcpy(p, &v, sizeof v);
}

}  // namespace qel

#endif
