// Buffers fenced by inaccessible pages. tail<T>(n) returns n elements whose
// last one ends exactly at a PROT_NONE page; head<T>(n) returns n elements
// whose first one starts right after one. A kernel that reads a single unit
// too far on either side faults at once, even within what would otherwise be
// the same page.
//
// An offset moves the elements that many bytes away from the guard, so that
// 16-bit strings can be placed at odd addresses (callers may pass those, and
// the sanitizer's alignment check only sees what the tests exercise). With an
// offset below the unit size, a read of one whole unit too far still reaches
// into the guard page.
#ifndef QELCH_TEST_GUARD_H
#define QELCH_TEST_GUARD_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace qeltest {

class GuardedRegion {
public:
    explicit GuardedRegion(size_t bytes);
    ~GuardedRegion();
    GuardedRegion(const GuardedRegion&) = delete;
    GuardedRegion& operator=(const GuardedRegion&) = delete;

    // n elements ending at the trailing guard page.
    template <class T>
    T* tail(size_t n, size_t offset = 0) {
        return reinterpret_cast<T*>(data_ + size_ - n * sizeof(T) - offset);
    }
    // n elements starting at the leading guard page.
    template <class T>
    T* head(size_t, size_t offset = 0) {
        return reinterpret_cast<T*>(data_ + offset);
    }
    size_t capacity() const { return size_; }

private:
    uint8_t* map_ = nullptr;
    uint8_t* data_ = nullptr;
    size_t size_ = 0;
    size_t map_size_ = 0;
};

// Copies `v` into a fresh guarded region, flush against the leading or the
// trailing guard (or `offset` bytes away from it), and keeps the region alive.
template <class T>
class Guarded {
public:
    Guarded(const std::vector<T>& v, bool at_tail, size_t offset = 0)
        : region_(v.size() * sizeof(T) + 1 + offset),
          ptr_(at_tail ? region_.tail<T>(v.size(), offset) : region_.head<T>(v.size(), offset)),
          n_(v.size()) {
        if (n_) std::memcpy(ptr_, v.data(), n_ * sizeof(T));
    }
    T* data() { return ptr_; }
    size_t size() const { return n_; }
    // A copy of the units, readable wherever they were placed.
    std::vector<T> contents() const {
        std::vector<T> v(n_);
        if (n_) std::memcpy(v.data(), ptr_, n_ * sizeof(T));
        return v;
    }

private:
    GuardedRegion region_;
    T* ptr_;
    size_t n_;
};

// Unit i of a string that may sit at an odd address (test code reads placed
// strings through this, not through the pointer, for the same reason).
template <class T>
T unit_at(const T* p, size_t i) {
    T v;
    std::memcpy(&v, reinterpret_cast<const unsigned char*>(p) + i * sizeof(T), sizeof v);
    return v;
}

// Byte offsets from the guard to run a test at: 0 only for bytes; for wider
// units also 1, which puts every unit at an odd address.
template <class T>
std::vector<size_t> unit_offsets() {
    return sizeof(T) == 1 ? std::vector<size_t>{0} : std::vector<size_t>{0, 1};
}

}  // namespace qeltest

#endif
