// Fault injection for the virtual tuner: DMBTPEG_DEVICE_FAULTS makes chosen
// tuner commands fail or answer wrong values for a while, so the service's
// handling of a misbehaving device can be exercised on demand.
//
//   faults = rule *("," rule)
//   rule   = command "=" effect ":" extent ["@" extent]
//   command: region | tune | readback | scan | signal
//   effect:  fail | wrong
//   extent:  a number of calls ("5"), or platform time ("300ms", "4s")
//
// The extent after ":" is how long the fault lasts; the one after "@" how
// long the command behaves before it starts (default: from its first call).
// Time is the platform clock, so DMBTPEG_TIME_SCALE shortens it; a time
// window opens at the command's first call. Calls are counted per process,
// over every tuner the process creates.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"

namespace devices {

inline constexpr char kDeviceFaultsVariable[] = "DMBTPEG_DEVICE_FAULTS";

enum class FaultCommand { Region, Tune, Readback, Scan, Signal };
enum class FaultEffect { Fail, Wrong };

struct FaultExtent {
    bool calls = true;  // a number of calls, else platform milliseconds
    std::uint64_t amount = 0;
};

struct FaultRule {
    FaultCommand command = FaultCommand::Tune;
    FaultEffect effect = FaultEffect::Fail;
    FaultExtent length;
    FaultExtent start;
    std::string text;  // as written, for the log
};

struct FaultPlan {
    std::vector<FaultRule> rules;
    std::string error;  // empty when the text was valid
};

// An empty text is a valid plan without rules. Any error rejects the whole
// text, so a typo never leaves half a plan in force.
FaultPlan ParseFaultPlan(std::string_view text);

// The rule group a tuner command belongs to; none for unknown commands.
std::optional<FaultCommand> FaultCommandOf(std::int32_t tunerCommand);

// Decides, call by call, which fault (if any) applies. Thread safe.
class FaultInjector {
  public:
    FaultInjector() = default;
    explicit FaultInjector(std::vector<FaultRule> rules);

    // Counts one call of `command` at `now`; the effect to apply, if any. The
    // first rule in force wins. Logs when a rule's fault begins and ends.
    std::optional<FaultEffect> OnCall(FaultCommand command,
                                      platform::Clock::time_point now = platform::Clock::now());

  private:
    struct State {
        std::uint64_t calls = 0;
        std::optional<platform::Clock::time_point> first;
        bool begun = false;
        bool ended = false;
        std::uint64_t beginCall = 0;
        platform::Clock::time_point beginTime{};
    };
    bool InForce(const FaultRule& rule, State& state, platform::Clock::time_point now);

    std::mutex m_lock;
    std::vector<FaultRule> m_rules;
    std::vector<State> m_states;
};

// The process's injector, made from DMBTPEG_DEVICE_FAULTS on first use. A
// malformed value is logged once and injects nothing.
FaultInjector& DeviceFaults();

}  // namespace devices
