// Sampling CPU clocks once a second and reducing the windows.
#include "windows.h"

#include <math.h>

#include <chrono>
#include <thread>

double CpuSeconds(clockid_t clock) {
    timespec ts;
    if (clock_gettime(clock, &ts) != 0) return NAN;
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::vector<std::vector<double>> SampleWindows(const std::vector<clockid_t>& clocks, int seconds) {
    using Clock = std::chrono::steady_clock;
    std::vector<std::vector<double>> windows(clocks.size());
    std::vector<double> last(clocks.size());
    for (size_t i = 0; i < clocks.size(); ++i) last[i] = CpuSeconds(clocks[i]);
    const auto start = Clock::now();
    auto lastWall = start;
    for (int s = 1; s <= seconds; ++s) {
        std::this_thread::sleep_until(start + std::chrono::seconds(s));
        const auto now = Clock::now();
        const double wall = std::chrono::duration<double>(now - lastWall).count();
        for (size_t i = 0; i < clocks.size(); ++i) {
            const double cpu = CpuSeconds(clocks[i]);
            windows[i].push_back(100.0 * (cpu - last[i]) / wall);
            last[i] = cpu;
        }
        lastWall = now;
    }
    return windows;
}

Figures Reduce(const std::vector<double>& windows, double target, int fromSecond) {
    Figures f;
    f.windows = windows;
    double sum = 0, sq = 0;
    int n = 0;
    for (size_t i = 0; i < windows.size(); ++i) {
        const double w = windows[i];
        if (isnan(w)) return f;
        const bool within = fabs(w - target) <= 0.1 * target;
        if (!within) {
            f.heldFrom = -1;
        } else if (f.heldFrom < 0) {
            f.heldFrom = static_cast<int>(i) + 1;
        }
        if (static_cast<int>(i) + 1 > fromSecond) {
            sum += w;
            sq += w * w;
            ++n;
        }
    }
    if (n == 0) return f;
    f.valid = true;
    f.mean = sum / n;
    f.stddev = sqrt(fmax(0.0, sq / n - f.mean * f.mean));
    return f;
}

void Spin(const std::atomic<bool>* stop, std::atomic<unsigned long>* loops) {
    volatile unsigned long sink = 0;
    while (!stop->load(std::memory_order_relaxed)) {
        for (int i = 0; i < 10000; ++i) sink = sink + i;
        if (loops != nullptr) loops->fetch_add(1, std::memory_order_relaxed);
    }
}
