#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "broadcast/eti.h"

namespace broadcast {

// File framings of ETI-NI recordings: RAW (6144-byte frames back to back), STREAMED (each frame
// preceded by its 16-bit little-endian length, padding dropped), FRAMED (a 32-bit little-endian
// frame count, then STREAMED).
enum class EtiFraming { Raw, Streamed, Framed };

const char* ToString(EtiFraming framing);

enum class EtiReadStatus {
    Frame,     // frame holds a valid frame
    BadFrame,  // a frame was read but failed its checks (error says why); reading may go on
    End,       // no more frames
    IoError,   // the file could not be opened or read, or its framing is not recognised
};

struct EtiReadResult {
    EtiReadStatus status = EtiReadStatus::End;
    EtiError error = EtiError::None;
    EtiFrameView frame;                   // valid until the next Next, Rewind or Close
    std::span<const std::uint8_t> bytes;  // the frame as read, as long as frame
};

// Reads an ETI recording frame by frame, detecting its framing from the first frame. Bad frames
// are reported and skipped over, never fatal; a RAW file out of step resynchronises on FSYNC.
class EtiReader {
  public:
    EtiReader() = default;
    ~EtiReader();
    EtiReader(const EtiReader&) = delete;
    EtiReader& operator=(const EtiReader&) = delete;

    bool Open(const std::string& path);
    void Close();
    bool IsOpen() const { return m_file != nullptr; }
    EtiFraming Framing() const { return m_framing; }

    EtiReadResult Next();
    // Starts again at the first frame (for looping playback).
    bool Rewind();

    std::size_t GoodFrames() const { return m_good; }
    std::size_t BadFrames() const { return m_bad; }

  private:
    bool Detect();
    bool ReadExact(std::uint8_t* to, std::size_t size);
    bool ResyncRaw();

    static constexpr std::size_t kReadBufferSize = 8 * kEtiFrameSize;

    std::FILE* m_file = nullptr;
    EtiFraming m_framing = EtiFraming::Raw;
    long m_firstFrameAt = 0;
    std::vector<std::uint8_t> m_frame = std::vector<std::uint8_t>(kEtiFrameSize);
    std::size_t m_good = 0;
    std::size_t m_bad = 0;
};

}  // namespace broadcast
