// Buffers fenced by inaccessible pages. tail<T>(n) returns n elements whose
// last one ends exactly at a PROT_NONE page; head<T>(n) returns n elements
// whose first one starts right after one. A kernel that reads a single unit
// too far on either side faults at once, even within what would otherwise be
// the same page.
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
    T* tail(size_t n) {
        return reinterpret_cast<T*>(data_ + size_ - n * sizeof(T));
    }
    // n elements starting at the leading guard page.
    template <class T>
    T* head(size_t) {
        return reinterpret_cast<T*>(data_);
    }
    size_t capacity() const { return size_; }

private:
    uint8_t* map_ = nullptr;
    uint8_t* data_ = nullptr;
    size_t size_ = 0;
    size_t map_size_ = 0;
};

// Copies `v` into a fresh guarded region, flush against the leading or the
// trailing guard, and keeps the region alive.
template <class T>
class Guarded {
public:
    Guarded(const std::vector<T>& v, bool at_tail)
        : region_(v.size() * sizeof(T) + 1),
          ptr_(at_tail ? region_.tail<T>(v.size()) : region_.head<T>(v.size())),
          n_(v.size()) {
        if (n_) std::memcpy(ptr_, v.data(), n_ * sizeof(T));
    }
    T* data() { return ptr_; }
    size_t size() const { return n_; }

private:
    GuardedRegion region_;
    T* ptr_;
    size_t n_;
};

}  // namespace qeltest

#endif
