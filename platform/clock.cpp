#include "platform/clock.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/bus_selection.h"

namespace platform {
namespace {

double ParseScale() {
    const char* env = std::getenv("DMBTPEG_TIME_SCALE");
    if (env == nullptr || *env == '\0') {
        return 1.0;
    }
    char* end = nullptr;
    double value = std::strtod(env, &end);
    if (end == env || *end != '\0' || !std::isfinite(value) || value <= 0.0) {
        std::fprintf(stderr, "dmbtpeg: DMBTPEG_TIME_SCALE='%s' is not a positive number\n", env);
        std::exit(2);
    }
    return value;
}

std::atomic<double>& ScaleSlot() {
    static std::atomic<double> scale{ParseScale()};
    return scale;
}

const Clock::time_point gStart = Clock::now();

}  // namespace

double TimeScale() {
    return ScaleSlot().load(std::memory_order_relaxed);
}

void CheckEnvironment() {
    (void)TimeScale();
    (void)SelectedBus();
}

void SetTimeScaleForTesting(double scale) {
    if (scale > 0.0) {
        ScaleSlot().store(scale, std::memory_order_relaxed);
    }
}

Clock::duration ScaledDuration(DWORD ms) {
    auto ns = static_cast<double>(ms) * 1e6 * TimeScale();
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double, std::nano>(ns));
}

void Sleep(DWORD ms) {
    if (ms == 0) {
        std::this_thread::yield();
        return;
    }
    std::this_thread::sleep_for(ScaledDuration(ms));
}

DWORD GetTickCount() {
    auto elapsed = std::chrono::duration<double, std::milli>(Clock::now() - gStart).count();
    return static_cast<DWORD>(static_cast<std::uint64_t>(elapsed / TimeScale()));
}

}  // namespace platform
