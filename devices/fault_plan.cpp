#include "devices/fault_plan.h"

#include <cstdlib>

#include "graph/device_interfaces.h"
#include "platform/log.h"
#include "platform/text.h"

namespace devices {
namespace {

// Large enough for any test or soak run, small enough that the platform's
// duration arithmetic cannot overflow.
constexpr std::uint64_t kMaxAmount = 1'000'000'000;

void LogLine(const std::string& text) {
    platform::DebugOutput(platform::FromUtf8("[TDMB device] " + text + "\r\n"));
}

std::optional<FaultExtent> ParseExtent(std::string_view text) {
    std::size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
        ++digits;
    }
    if (digits == 0 || digits > 10) {
        return std::nullopt;
    }
    std::uint64_t amount = 0;
    for (std::size_t i = 0; i < digits; ++i) {
        amount = amount * 10 + static_cast<std::uint64_t>(text[i] - '0');
    }
    const std::string_view unit = text.substr(digits);
    FaultExtent extent;
    if (unit.empty()) {
        extent.calls = true;
    } else if (unit == "ms") {
        extent.calls = false;
    } else if (unit == "s") {
        extent.calls = false;
        amount *= 1000;
    } else {
        return std::nullopt;
    }
    if (amount > kMaxAmount) {
        return std::nullopt;
    }
    extent.amount = amount;
    return extent;
}

std::optional<FaultCommand> ParseCommand(std::string_view name) {
    if (name == "region")
        return FaultCommand::Region;
    if (name == "tune")
        return FaultCommand::Tune;
    if (name == "readback")
        return FaultCommand::Readback;
    if (name == "scan")
        return FaultCommand::Scan;
    if (name == "signal")
        return FaultCommand::Signal;
    return std::nullopt;
}

std::string ParseRule(std::string_view text, FaultRule& rule) {
    const std::size_t equals = text.find('=');
    if (equals == std::string_view::npos) {
        return "rule '" + std::string(text) + "' has no '='";
    }
    const auto command = ParseCommand(text.substr(0, equals));
    if (!command) {
        return "unknown command '" + std::string(text.substr(0, equals)) +
               "' (region, tune, readback, scan, signal)";
    }
    std::string_view rest = text.substr(equals + 1);
    const std::size_t colon = rest.find(':');
    if (colon == std::string_view::npos) {
        return "rule '" + std::string(text) + "' has no ':extent'";
    }
    const std::string_view effect = rest.substr(0, colon);
    if (effect != "fail" && effect != "wrong") {
        return "unknown effect '" + std::string(effect) + "' (fail, wrong)";
    }
    rest = rest.substr(colon + 1);
    const std::size_t at = rest.find('@');
    const auto length = ParseExtent(rest.substr(0, at));
    if (!length || length->amount == 0) {
        return "rule '" + std::string(text) + "' needs a length above 0: calls, or time in ms or s";
    }
    FaultExtent start;
    if (at != std::string_view::npos) {
        const auto parsed = ParseExtent(rest.substr(at + 1));
        if (!parsed) {
            return "rule '" + std::string(text) + "' has a bad start after '@'";
        }
        start = *parsed;
    }
    rule.command = *command;
    rule.effect = effect == "fail" ? FaultEffect::Fail : FaultEffect::Wrong;
    rule.length = *length;
    rule.start = start;
    rule.text = std::string(text);
    return {};
}

bool Reached(const FaultExtent& extent, std::uint64_t calls, platform::Clock::duration elapsed) {
    if (extent.calls) {
        return calls >= extent.amount;
    }
    return elapsed >= platform::ScaledDuration(static_cast<platform::DWORD>(extent.amount));
}

}  // namespace

FaultPlan ParseFaultPlan(std::string_view text) {
    FaultPlan plan;
    if (text.empty()) {
        return plan;
    }
    for (;;) {
        const std::size_t comma = text.find(',');
        FaultRule rule;
        std::string error = ParseRule(text.substr(0, comma), rule);
        if (!error.empty()) {
            return {{}, error};
        }
        plan.rules.push_back(std::move(rule));
        if (comma == std::string_view::npos) {
            return plan;
        }
        text = text.substr(comma + 1);
    }
}

std::optional<FaultCommand> FaultCommandOf(std::int32_t tunerCommand) {
    switch (tunerCommand) {
        case kTunerSetRegion:
            return FaultCommand::Region;
        case kTunerSetFrequency:
        case kTunerSetService:
            return FaultCommand::Tune;
        case kTunerGetFrequency:
        case kTunerGetService:
            return FaultCommand::Readback;
        case kTunerGetScanSteps:
        case kTunerScan:
            return FaultCommand::Scan;
        case kTunerGetSignal:
            return FaultCommand::Signal;
        default:
            return std::nullopt;
    }
}

FaultInjector::FaultInjector(std::vector<FaultRule> rules)
    : m_rules(std::move(rules)), m_states(m_rules.size()) {}

bool FaultInjector::InForce(const FaultRule& rule, State& state, platform::Clock::time_point now) {
    ++state.calls;
    if (!state.first) {
        state.first = now;
    }
    if (state.ended) {
        return false;
    }
    if (!state.begun) {
        // Calls before this one, or time since the first call.
        if (!Reached(rule.start, state.calls - 1, now - *state.first)) {
            return false;
        }
        state.begun = true;
        state.beginCall = state.calls;
        state.beginTime = now;
        LogLine("fault " + rule.text + " begins");
    }
    if (Reached(rule.length, state.calls - state.beginCall, now - state.beginTime)) {
        state.ended = true;
        LogLine("fault " + rule.text + " ends");
        return false;
    }
    return true;
}

std::optional<FaultEffect> FaultInjector::OnCall(FaultCommand command,
                                                 platform::Clock::time_point now) {
    std::lock_guard lock(m_lock);
    std::optional<FaultEffect> effect;
    // Every rule of the command counts the call, so each keeps its own window.
    for (std::size_t i = 0; i < m_rules.size(); ++i) {
        if (m_rules[i].command == command && InForce(m_rules[i], m_states[i], now) && !effect) {
            effect = m_rules[i].effect;
        }
    }
    return effect;
}

FaultInjector& DeviceFaults() {
    static FaultInjector injector = [] {
        const char* value = std::getenv(kDeviceFaultsVariable);
        FaultPlan plan = ParseFaultPlan(value != nullptr ? value : "");
        if (!plan.error.empty()) {
            LogLine(std::string(kDeviceFaultsVariable) + " ignored, no faults: " + plan.error);
            return FaultInjector();
        }
        if (!plan.rules.empty()) {
            LogLine(std::string("fault injection: ") + value);
        }
        return FaultInjector(std::move(plan.rules));
    }();
    return injector;
}

}  // namespace devices
