#include "frame/frame.h"
#include "qelcore.h"

namespace {

constexpr QelLibraryVersion kVersion = {
    7, 1, 1, 37466, {'z', '2', '\0', '\0'}, "qelCH AVX2 (z2)", "7.1.1 (r37466)", "Sep 24 2012",
};

// The feature answer is asked once at load and deliberately unused: kernels
// ask per call, so that a host changing the answer is always honoured.
__attribute__((constructor)) void on_load() { (void)qelGetEnabledCpuFeatures(); }

}  // namespace

extern "C" const QelLibraryVersion* qelchGetLibVersion(void) { return &kVersion; }
