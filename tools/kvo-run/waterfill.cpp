// Water-filling of the --total budget over a program's threads.
#include "waterfill.h"

#include <algorithm>

std::vector<float> WaterFill(const std::vector<_ThreadShare>& threads, float total, float cap) {
    const size_t n = threads.size();
    std::vector<float> asks(n);
    for (size_t i = 0; i < n; ++i) {
        const _ThreadShare& t = threads[i];
        const float ask = t.used >= kBusyFraction * t.limit ? cap : 1.25f * t.used + 1.0f;
        asks[i] = std::min(std::max(ask, kFloor), cap);
    }
    std::vector<float> sorted(asks);
    std::sort(sorted.begin(), sorted.end());
    // Raise the level through the sorted asks until the budget runs out.
    float level = cap;
    float below = 0;  // sum of the asks that lie under the level
    for (size_t i = 0; i < n; ++i) {
        const float rest = total - below;
        const float even = rest / static_cast<float>(n - i);
        if (sorted[i] > even) {
            level = even;
            break;
        }
        below += sorted[i];
    }
    std::vector<float> limits(n);
    float given = 0;
    for (size_t i = 0; i < n; ++i) {
        limits[i] = std::min(asks[i], level);
        given += limits[i];
    }
    if (n > 0 && given < total) {
        const float extra = (total - given) / static_cast<float>(n);
        for (float& l : limits) l = std::min(l + extra, cap);
    }
    for (float& l : limits) l = std::max(std::min(l, cap), kFloor);
    return limits;
}
