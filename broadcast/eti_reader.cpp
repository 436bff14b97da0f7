#include "broadcast/eti_reader.h"

#include <array>
#include <cstring>

#include "broadcast/bytes.h"

namespace broadcast {
namespace {

bool IsSyncAt(const std::uint8_t* bytes) {
    const std::uint32_t fsync = (std::uint32_t{bytes[0]} << 16) | (bytes[1] << 8) | bytes[2];
    return fsync == kEtiFsyncEven || fsync == kEtiFsyncOdd;
}

}  // namespace

const char* ToString(EtiFraming framing) {
    switch (framing) {
        case EtiFraming::Raw:
            return "raw";
        case EtiFraming::Streamed:
            return "streamed";
        case EtiFraming::Framed:
            return "framed";
    }
    return "unknown";
}

EtiReader::~EtiReader() {
    Close();
}

void EtiReader::Close() {
    if (m_file != nullptr) {
        std::fclose(m_file);
        m_file = nullptr;
    }
}

bool EtiReader::Open(const std::string& path) {
    Close();
    m_good = 0;
    m_bad = 0;
    m_file = std::fopen(path.c_str(), "rb");
    if (m_file == nullptr) {
        return false;
    }
    // A player reads one frame per 24 ms: several frames per read call.
    std::setvbuf(m_file, nullptr, _IOFBF, kReadBufferSize);
    if (!Detect()) {
        Close();
        return false;
    }
    return true;
}

bool EtiReader::Detect() {
    std::array<std::uint8_t, 10> head{};
    if (std::fread(head.data(), 1, head.size(), m_file) != head.size()) {
        return false;
    }
    // The ERR byte may report an error, so only FSYNC identifies the frame start.
    if (IsSyncAt(&head[1])) {
        m_framing = EtiFraming::Raw;
        m_firstFrameAt = 0;
    } else if (IsSyncAt(&head[3])) {
        m_framing = EtiFraming::Streamed;
        m_firstFrameAt = 0;
    } else if (IsSyncAt(&head[7])) {
        m_framing = EtiFraming::Framed;
        m_firstFrameAt = 4;
    } else {
        return false;
    }
    return Rewind();
}

bool EtiReader::Rewind() {
    return m_file != nullptr && std::fseek(m_file, m_firstFrameAt, SEEK_SET) == 0;
}

bool EtiReader::ReadExact(std::uint8_t* to, std::size_t size) {
    return std::fread(to, 1, size, m_file) == size;
}

bool EtiReader::ResyncRaw() {
    // Scan forward for the next FSYNC, one byte after a possible ERR byte.
    const long failedAt = std::ftell(m_file) - static_cast<long>(kEtiFrameSize);
    for (std::size_t i = 2; i + 3 <= kEtiFrameSize; ++i) {
        if (IsSyncAt(&m_frame[i])) {
            return std::fseek(m_file, failedAt + static_cast<long>(i) - 1, SEEK_SET) == 0;
        }
    }
    return true;
}

EtiReadResult EtiReader::Next() {
    EtiReadResult result;
    if (m_file == nullptr) {
        result.status = EtiReadStatus::IoError;
        return result;
    }
    std::size_t size = kEtiFrameSize;
    if (m_framing != EtiFraming::Raw) {
        std::array<std::uint8_t, 2> length{};
        if (!ReadExact(length.data(), length.size())) {
            result.status = std::feof(m_file) ? EtiReadStatus::End : EtiReadStatus::IoError;
            return result;
        }
        size = length[0] | (length[1] << 8);
        if (size > kEtiFrameSize || size == 0) {
            ++m_bad;
            result.status = EtiReadStatus::BadFrame;
            result.error = EtiError::BadLength;
            // A length field out of range loses the framing for good.
            std::fseek(m_file, 0, SEEK_END);
            return result;
        }
    }
    if (!ReadExact(m_frame.data(), size)) {
        result.status = std::feof(m_file) ? EtiReadStatus::End : EtiReadStatus::IoError;
        return result;
    }
    const EtiFrameResult parsed = ParseEtiFrame(std::span(m_frame).first(size));
    result.error = parsed.error;
    result.frame = parsed.frame;
    result.bytes = std::span(m_frame).first(size);
    if (parsed.error == EtiError::None) {
        ++m_good;
        result.status = EtiReadStatus::Frame;
        return result;
    }
    ++m_bad;
    result.status = EtiReadStatus::BadFrame;
    if (m_framing == EtiFraming::Raw && parsed.error == EtiError::BadSync) {
        ResyncRaw();
    }
    return result;
}

}  // namespace broadcast
