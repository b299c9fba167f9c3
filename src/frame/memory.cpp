#include "frame/frame.h"
#include "qelcore.h"

namespace qel {

void* own_alloc(int32_t bytes) { return bytes < 1 ? nullptr : qelMalloc(bytes); }

void own_free(void* ptr) { qelFree(ptr); }

bool own_has_sse42() { return ownGetFeature(QELCORE_FEATURE_SSE42) != 0; }

}  // namespace qel
