#include "grid/memory_traffic.h"

#include <atomic>

namespace skv {

namespace {
std::atomic<uint64_t> gBytes{0};
}  // namespace

void countTraffic(size_t cells, int grids) {
    gBytes.fetch_add(uint64_t(cells) * uint64_t(grids) * sizeof(float), std::memory_order_relaxed);
}

uint64_t trafficBytes() {
    return gBytes.load(std::memory_order_relaxed);
}

}  // namespace skv
