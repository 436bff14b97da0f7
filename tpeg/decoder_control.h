// Bringing the decoder libraries up and down, and feeding them.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/types.h"

// The main window's state the decoder control reads and writes. The main
// window owns it; the flags are shared between its thread and the worker.
struct DecoderState {
    platform::HWND hWnd = nullptr;  // handed to the TPEG library for its events
    std::atomic<std::int32_t>& mbDecoderRunning;
    std::atomic<std::uint8_t>& mbReportSignal;
    std::atomic<std::int32_t>& gnSignalReport;
};

// Initialises both libraries and chains the TDC queue into the TPEG library.
// Returns 1 on success, 0 at the first failing step (later steps skipped).
// Callers set mbDecoderRunning to 0 before it.
int InitDecoders(const DecoderState& state);

// Starts decoding once the receiver graph runs and tells the navigation
// application that TPEG reception is available. Does nothing while running.
void StartDecoders(const DecoderState& state);

// Stops decoding (the TPEG library first); mbDecoderRunning keeps its value.
void StopDecoders(const DecoderState& state);

// Releases both libraries, whatever state they are in.
void UninitDecoders();

// The data-acquisition filter's data callback: every block goes straight to
// the TDC library, unchanged, with no copy, allocation or lock.
std::intptr_t FeedMscData(std::uintptr_t a, std::uintptr_t b, std::uintptr_t c, std::uintptr_t d);
