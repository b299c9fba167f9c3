// Shared pieces of the fuzz targets: buffers fenced by inaccessible pages and
// a reader that cuts the fuzzer's input into fields.
#ifndef QELCH_FUZZ_SUPPORT_H
#define QELCH_FUZZ_SUPPORT_H

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace qelfuzz {

// `bytes` of read-write memory that end exactly at a PROT_NONE page
// (at_tail) or start right after one, so that an access one byte outside
// faults even within what would be the same page.
class PageGuard {
public:
    PageGuard(size_t bytes, bool at_tail) {
        size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        size_t body = (bytes + page - 1) / page * page;
        if (body == 0) body = page;
        size_ = body + 2 * page;
        void* m = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (m == MAP_FAILED) std::abort();
        map_ = static_cast<uint8_t*>(m);
        if (mprotect(map_, page, PROT_NONE) != 0 || mprotect(map_ + page + body, page, PROT_NONE) != 0) std::abort();
        data_ = at_tail ? map_ + page + body - bytes : map_ + page;
    }
    ~PageGuard() { munmap(map_, size_); }
    PageGuard(const PageGuard&) = delete;
    PageGuard& operator=(const PageGuard&) = delete;

    uint8_t* data() { return data_; }
    template <class T>
    T* as() {
        return reinterpret_cast<T*>(data_);
    }

private:
    uint8_t* map_ = nullptr;
    uint8_t* data_ = nullptr;
    size_t size_ = 0;
};

// A copy of `text` flush against a guard page, followed by a terminating zero
// when `terminate` is set (the zero then touches the guard).
class GuardedText {
public:
    GuardedText(std::string_view text, bool at_tail, bool terminate = false)
        : guard_(text.size() + (terminate ? 1 : 0), at_tail), size_(text.size()) {
        if (!text.empty()) std::memcpy(guard_.data(), text.data(), text.size());
        if (terminate) guard_.data()[text.size()] = 0;
    }
    const uint8_t* bytes() { return guard_.data(); }
    const char* chars() { return guard_.as<const char>(); }
    size_t size() const { return size_; }

private:
    PageGuard guard_;
    size_t size_;
};

// Reads the fuzzer's input front to back: single control bytes, then fields
// that end at a zero byte, then whatever is left.
class Input {
public:
    Input(const uint8_t* data, size_t size) : p_(data), n_(size) {}
    uint8_t byte() {
        if (n_ == 0) return 0;
        --n_;
        return *p_++;
    }
    std::string_view field() {
        const void* z = std::memchr(p_, 0, n_);
        size_t len = z ? size_t(static_cast<const uint8_t*>(z) - p_) : n_;
        std::string_view f(reinterpret_cast<const char*>(p_), len);
        size_t used = z ? len + 1 : len;
        p_ += used;
        n_ -= used;
        return f;
    }
    std::string_view rest() {
        std::string_view r(reinterpret_cast<const char*>(p_), n_);
        p_ += n_;
        n_ = 0;
        return r;
    }
    bool empty() const { return n_ == 0; }

private:
    const uint8_t* p_;
    size_t n_;
};

// The options string selected by the low five bits of a byte (s m i x g),
// zero-terminated in `out` (room for six bytes).
inline const char* options_from_bits(uint8_t bits, char (&out)[6]) {
    static const char letters[] = "smixg";
    int n = 0;
    for (int b = 0; b < 5; ++b)
        if (bits & (1u << b)) out[n++] = letters[b];
    out[n] = 0;
    return out;
}

// Fails the run with a message that names the broken invariant.
[[noreturn]] inline void fail(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}
#define QELFUZZ_CHECK(cond)                 \
    do {                                    \
        if (!(cond)) qelfuzz::fail(#cond);  \
    } while (0)

}  // namespace qelfuzz

#endif
