// Rendering frames of one size must not allocate once the renderer's buffers are sized. Counts
// operator new on any thread; the grids' aligned blocks come from malloc and are not counted.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "render/render_frame.h"
#include "render_test_support.h"

namespace {
std::atomic<bool> gCounting{false};
std::atomic<long> gAllocations{0};
}  // namespace

void* operator new(std::size_t size) {
    if (gCounting.load(std::memory_order_relaxed))
        gAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
// The replaced operator new above allocates with malloc, so free is the matching release; GCC
// cannot see that pairing. The array forms forward to these.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
#pragma GCC diagnostic pop

namespace skv {
namespace {

TEST(RenderAllocation, SecondRenderOfTheSameSizeAllocatesNothing) {
    test::TestFrame frame(40, 30);
    for (uint32_t type = 2; type < 14; ++type)
        frame.set(type, [type](uint32_t x, uint32_t y) { return 0.01 * (x + 2 * y) + 0.1 * type; });
    const FloatImage texture = test::rampTexture(70, 50);
    for (int32_t mode = kRenderAllSources; mode <= kRenderVelocity; ++mode) {
        SCOPED_TRACE(testing::Message() << "mode " << mode);
        RenderSettings s = test::plainSettings(mode);
        s.motionBlur = 0.3f;
        Renderer renderer;
        FloatImage out(100, 60);
        const FrameFields fields = frame.fields();
        renderer.render(fields, &texture, s, out);
        gAllocations = 0;
        gCounting = true;
        renderer.render(fields, &texture, s, out);
        gCounting = false;
        EXPECT_EQ(gAllocations.load(), 0);
    }
}

}  // namespace
}  // namespace skv
