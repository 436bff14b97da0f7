// Time-scale utilities for tests.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

#include "platform/clock.h"

namespace testsupport {

// Replaces the time scale for the life of the object.
class ScopedTimeScale {
  public:
    explicit ScopedTimeScale(double scale) : m_old(platform::TimeScale()) {
        platform::SetTimeScaleForTesting(scale);
    }
    ~ScopedTimeScale() { platform::SetTimeScaleForTesting(m_old); }
    ScopedTimeScale(const ScopedTimeScale&) = delete;
    ScopedTimeScale& operator=(const ScopedTimeScale&) = delete;

  private:
    double m_old;
};

// Polls `condition` until it holds or `limit` (real time, meant to be
// generous) has passed; returns its last value.
inline bool WaitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end) {
            return condition();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace testsupport
