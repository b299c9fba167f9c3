#include "support/guard.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>

namespace qeltest {

GuardedRegion::GuardedRegion(size_t bytes) {
    size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    size_t body = (bytes + page - 1) / page * page;
    if (body == 0) body = page;
    map_size_ = body + 2 * page;
    void* m = mmap(nullptr, map_size_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED) std::abort();
    map_ = static_cast<uint8_t*>(m);
    data_ = map_ + page;
    size_ = body;
    if (mprotect(data_, body, PROT_READ | PROT_WRITE) != 0) std::abort();
}

GuardedRegion::~GuardedRegion() { munmap(map_, map_size_); }

}  // namespace qeltest
