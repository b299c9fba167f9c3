// Deterministic random data for differential tests: every generator takes an
// explicit seed so a failing case can be replayed.
#ifndef QELCH_TEST_RANDOM_H
#define QELCH_TEST_RANDOM_H

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace qeltest {

// `n` units drawn uniformly from [lo, hi].
template <class T>
std::vector<T> random_units(size_t n, uint32_t seed, uint32_t lo = 0, uint32_t hi = sizeof(T) == 1 ? 0xFF : 0xFFFF) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<uint32_t> dist(lo, hi);
    std::vector<T> v(n);
    for (auto& x : v) x = static_cast<T>(dist(rng));
    return v;
}

// `n` units drawn from a small alphabet, so that partial matches are common.
template <class T>
std::vector<T> random_from(size_t n, uint32_t seed, const std::vector<T>& alphabet) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<size_t> dist(0, alphabet.size() - 1);
    std::vector<T> v(n);
    for (auto& x : v) x = alphabet[dist(rng)];
    return v;
}

}  // namespace qeltest

#endif
