#include <cstring>

#include "broadcast/bytes.h"
#include "broadcast/crc.h"
#include "broadcast/fic.h"

namespace broadcast {

const char* ToString(FibError error) {
    switch (error) {
        case FibError::None:
            return "none";
        case FibError::TooShort:
            return "FIB truncated";
        case FibError::BadCrc:
            return "FIB CRC mismatch";
        case FibError::BadFig:
            return "FIG runs past the FIB or holds impossible values";
    }
    return "unknown";
}

FibError ParseFib(std::span<const std::uint8_t> fib, FigSink& sink) {
    if (fib.size() < kFibSize) {
        return FibError::TooShort;
    }
    if (Crc16(fib.first(kFibDataSize)) != ReadU16(fib, kFibDataSize)) {
        return FibError::BadCrc;
    }
    // A FIG with impossible content is skipped, the sound ones around it still count.
    bool invalid = false;
    std::size_t at = 0;
    while (at < kFibDataSize) {
        const std::uint8_t header = fib[at];
        const std::size_t length = header & 0x1F;
        // 0xFF ends the FIGs; a zero length is padding written without an end marker.
        if (header == 0xFF || length == 0) {
            break;
        }
        if (at + 1 + length > kFibDataSize) {
            return FibError::BadFig;
        }
        const std::span<const std::uint8_t> data = fib.subspan(at + 1, length);
        switch (header >> 5) {
            case 0:
                switch (ParseFig0(data, sink)) {
                    case FigError::TooShort:
                        return FibError::BadFig;
                    case FigError::Invalid:
                        invalid = true;
                        break;
                    case FigError::None:
                    case FigError::Unsupported:
                        break;
                }
                break;
            case 1:
                if (ParseFig1(data, sink) == FigError::TooShort) {
                    return FibError::BadFig;
                }
                break;
            default:
                break;
        }
        at += 1 + length;
    }
    return invalid ? FibError::BadFig : FibError::None;
}

bool FibWriter::Add(std::span<const std::uint8_t> fig) {
    if (fig.size() > Free()) {
        return false;
    }
    if (fig.empty()) {
        return true;
    }
    std::memcpy(m_data + m_used, fig.data(), fig.size());
    m_used += fig.size();
    return true;
}

void FibWriter::Finish(std::span<std::uint8_t> out) {
    std::memcpy(out.data(), m_data, m_used);
    if (m_used < kFibDataSize) {
        out[m_used] = 0xFF;
        std::memset(out.data() + m_used + 1, 0, kFibDataSize - m_used - 1);
    }
    WriteU16(out, kFibDataSize, Crc16(out.first(kFibDataSize)));
    m_used = 0;
}

}  // namespace broadcast
