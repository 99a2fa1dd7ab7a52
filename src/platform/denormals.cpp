#include "platform/denormals.h"

#include <omp.h>

#if defined(__SSE__)
#include <xmmintrin.h>
#endif

namespace skv {
namespace {

#if defined(__SSE__)
constexpr unsigned kFlushBits = 0x8000u | 0x0040u;  // flush-to-zero, denormals-are-zero
thread_local unsigned savedMode = 0;
thread_local int depth = 0;

void enter() {
    if (depth++ == 0) {
        savedMode = _mm_getcsr();
        _mm_setcsr(savedMode | kFlushBits);
    }
}

void leave() {
    if (depth > 0 && --depth == 0) _mm_setcsr(savedMode);
}
#else
void enter() {}
void leave() {}
#endif

}  // namespace

FlushDenormals::FlushDenormals() {
    enter();
#pragma omp parallel
    {
        // The team's master is the calling thread, already in the mode.
        if (!(omp_get_thread_num() == 0)) enter();
    }
}

FlushDenormals::~FlushDenormals() {
#pragma omp parallel
    {
        if (!(omp_get_thread_num() == 0)) leave();
    }
    leave();
}

}  // namespace skv
