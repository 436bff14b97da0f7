// The codes the graph layer leaves behind when an operation fails. They are
// kept for inspection only; nothing turns them into text at run time.
#pragma once

#include <cstdint>

// Messages indexed by the helper's code and by the low bits of the graph
// owner's 0xC0000000 codes.
inline constexpr const char* kGraphErrorText[17] = {
    "Error none",
    "Microsoft DirectShow creation failed",
    "DirectShow cannot be rendered",
    "Query filter interface failed",
    "Initialize TimeDelay filter failed",
    "Initialize Proxy filter failed",
    "Initialize USB filter failed",
    "Initialize Dump filter failed",
    "Connect to TimeDelay filter failed",
    "Connect p_pins failed",
    "Cannot find pin",
    "Cannot find pin subtypes",
    "No vertical sync - Check connection",
    "Unknown stream error",
    "Registry value access failed",
    "Registry key open failed",
    "Cannot find the sound card",
};

inline constexpr std::uint32_t kGraphErrorBase = 0xC0000000;

// The graph owner's codes.
inline constexpr std::uint32_t kErrorNone = 0;
inline constexpr std::uint32_t kErrorInvalidHandle = 6;  // the graph mode has no receiver topology
inline constexpr std::uint32_t kErrorInvalidData =
    13;                                              // graph manager or receiver filter not created
inline constexpr std::uint32_t kErrorNotReady = 21;  // graph neither running nor paused
inline constexpr std::uint32_t kErrorNoObject = kGraphErrorBase + 1;     // graph or filter missing
inline constexpr std::uint32_t kErrorNoInterface = kGraphErrorBase + 3;  // an interface was refused
inline constexpr std::uint32_t kErrorConnect =
    kGraphErrorBase + 9;  // receiver filters not connected

// The filter helper's bare table index.
inline constexpr std::int32_t kHelperErrorNoPin = 10;
