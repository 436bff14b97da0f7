#include "devices/rtl_tcp_source.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "broadcast/iq_signal.h"

namespace devices {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kConnectTimeoutMs = 2000;
constexpr int kHeaderTimeoutMs = 2000;
constexpr int kSendTimeoutMs = 1000;
// After a retune, what arrives in this long is dropped: the server's queue and
// the socket buffers hold samples of the old frequency, and the tuner's PLL
// needs a few milliseconds to settle. Draining by time rather than by a byte
// count also clears a backlog that a slow reader let grow beyond 50 ms.
constexpr auto kRetuneDrain = std::chrono::milliseconds(50);
// The most one recv asks for; 128 KiB is 32 ms of signal.
constexpr std::size_t kRecvBytes = 128 * 1024;
// Tuner types the library knows, with room for newer ones; gain tables are
// a few dozen steps. Anything far beyond is not an rtl_tcp server.
constexpr std::uint32_t kMaxTunerType = 255;
constexpr std::uint32_t kMaxGainCount = 1024;

std::uint32_t BigEndian32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

int RemainingMs(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Waits for `events` on fd until the deadline; false on timeout or error.
bool WaitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        pollfd entry{fd, events, 0};
        const int ready = ::poll(&entry, 1, RemainingMs(deadline));
        if (ready > 0) {
            return true;  // readable, or an error or hang-up that recv will tell
        }
        if (ready == 0 || errno != EINTR) {
            return false;
        }
    }
}

bool SetNonBlocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// As written in a source: an IPv6 host in brackets.
std::string Address(const std::string& host, const std::string& port) {
    return "rtl_tcp:" + (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" +
           port;
}

UniqueFd Connect(const std::string& host, const std::string& port, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int lookup = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
    if (lookup != 0) {
        error = Address(host, port) + ": " + ::gai_strerror(lookup);
        return {};
    }
    std::string why = "no address";
    UniqueFd connected;
    for (addrinfo* at = found; at != nullptr && !connected; at = at->ai_next) {
        UniqueFd socket(::socket(at->ai_family, at->ai_socktype | SOCK_CLOEXEC, at->ai_protocol));
        if (!socket || !SetNonBlocking(socket.Get())) {
            why = std::strerror(errno);
            continue;
        }
        if (::connect(socket.Get(), at->ai_addr, at->ai_addrlen) != 0) {
            if (errno != EINPROGRESS) {
                why = std::strerror(errno);
                continue;
            }
            if (!WaitFor(socket.Get(), POLLOUT,
                         Clock::now() + std::chrono::milliseconds(kConnectTimeoutMs))) {
                why = "no answer";
                continue;
            }
            int status = 0;
            socklen_t length = sizeof(status);
            if (::getsockopt(socket.Get(), SOL_SOCKET, SO_ERROR, &status, &length) != 0 ||
                status != 0) {
                why = std::strerror(status != 0 ? status : errno);
                continue;
            }
        }
        connected = std::move(socket);
    }
    ::freeaddrinfo(found);
    if (!connected) {
        error = Address(host, port) + ": " + why;
    }
    return connected;
}

class RtlTcpSource : public IqSource {
  public:
    RtlTcpSource(std::string host, std::string port)
        : m_host(std::move(host)), m_port(std::move(port)) {}

    // Takes a connected socket: reads the header and sets the server up.
    bool Start(UniqueFd socket, std::string& error) {
        m_socket = std::move(socket);
        m_hasOddByte = false;
        if (!SetNonBlocking(m_socket.Get())) {
            return Fail("cannot set up the socket: " + std::string(std::strerror(errno)), error);
        }
        std::array<std::uint8_t, kRtlTcpHeaderSize> bytes{};
        std::size_t have = 0;
        const auto deadline = Clock::now() + std::chrono::milliseconds(kHeaderTimeoutMs);
        while (have < bytes.size()) {
            const ssize_t got = ReceiveSome(bytes.data() + have, bytes.size() - have, deadline);
            if (got <= 0) {
                return Fail(got == 0 ? "the server sent no rtl_tcp header" : m_error, error);
            }
            have += static_cast<std::size_t>(got);
        }
        std::string why;
        if (!ParseRtlTcpHeader(bytes, m_header, why)) {
            return Fail(why, error);
        }
        if (!Send(kRtlTcpSetSampleRate, kIqSampleRate) || !Send(kRtlTcpSetGainMode, 0) ||
            !Send(kRtlTcpSetAgcMode, 0)) {
            return Fail(m_error, error);
        }
        return true;
    }

    bool Tune(std::uint32_t frequencyKhz) override {
        if (frequencyKhz == 0 || frequencyKhz > UINT32_MAX / 1000) {
            m_error = std::to_string(frequencyKhz) + " kHz is out of range";
            return false;
        }
        m_frequencyKhz = frequencyKhz;
        // A server that went while we were not reading is only noticed now,
        // when the command or the drain after it fails: then one more go.
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (!m_socket && !Reconnect()) {
                return false;
            }
            if (Send(kRtlTcpSetFrequency, frequencyKhz * 1000)) {
                Drain();
                if (m_socket) {
                    return true;
                }
            }
        }
        return false;
    }

    std::size_t Read(std::span<std::complex<float>> out) override {
        if (!m_socket) {
            if (m_error.empty()) {
                m_error = "not connected to the server";
            }
            return 0;  // keeping why the connection went
        }
        const auto deadline = Clock::now() + std::chrono::milliseconds(kIqReadWaitMs);
        std::size_t produced = 0;
        while (produced < out.size() && m_socket) {
            // The byte of a pair split between two receives goes in front.
            const std::size_t carried = m_hasOddByte ? 1 : 0;
            const std::size_t want = std::min(2 * (out.size() - produced) - carried, kRecvBytes);
            m_bytes.resize(carried + want);
            m_bytes[0] = m_oddByte;
            const ssize_t got = ReceiveSome(m_bytes.data() + carried, want, deadline);
            if (got < 0) {
                break;  // no samples in time; the connection may still recover
            }
            if (got == 0) {
                m_error = "the server closed the connection";
                m_socket.Reset();
                break;
            }
            const std::size_t total = carried + static_cast<std::size_t>(got);
            m_hasOddByte = total % 2 != 0;
            m_oddByte = m_bytes[total - 1];
            produced += broadcast::ReadSamples(std::span(m_bytes.data(), total - total % 2),
                                               broadcast::IqFormat::U8, out.subspan(produced));
        }
        if (produced == out.size()) {
            m_error.clear();
        }
        return produced;
    }

    std::string Describe() const override {
        std::string text = m_host.empty() ? "rtl_tcp" : Address(m_host, m_port);
        text += " (tuner type " + std::to_string(m_header.tunerType);
        if (m_frequencyKhz != 0) {
            text += ", " + std::to_string(m_frequencyKhz) + " kHz";
        }
        return text + (m_socket ? ")" : ", disconnected)");
    }

    std::string LastError() const override { return m_error; }

  private:
    bool Fail(const std::string& why, std::string& error) {
        m_socket.Reset();
        m_error = why;
        error = (m_host.empty() ? "rtl_tcp" : Address(m_host, m_port)) + ": " + why;
        return false;
    }

    bool Reconnect() {
        m_socket.Reset();
        if (m_host.empty()) {
            m_error = "the connection is gone";
            return false;
        }
        std::string error;
        UniqueFd socket = Connect(m_host, m_port, error);
        if (!socket) {
            m_error = error;
            return false;
        }
        return Start(std::move(socket), error);
    }

    // Up to `size` bytes, waiting until the deadline: the count, 0 when the
    // server closed the connection, -1 on timeout or error (in m_error).
    ssize_t ReceiveSome(std::uint8_t* to, std::size_t size, Clock::time_point deadline) {
        for (;;) {
            const ssize_t got = ::recv(m_socket.Get(), to, size, 0);
            if (got >= 0) {
                return got;
            }
            if (errno == EINTR) {
                continue;
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                m_error = std::string("receiving: ") + std::strerror(errno);
                m_socket.Reset();
                return -1;
            }
            if (!WaitFor(m_socket.Get(), POLLIN, deadline)) {
                m_error = "no samples from the server";
                return -1;
            }
        }
    }

    bool Send(RtlTcpCommand command, std::uint32_t parameter) {
        const auto bytes = EncodeRtlTcpCommand(command, parameter);
        const auto deadline = Clock::now() + std::chrono::milliseconds(kSendTimeoutMs);
        std::size_t sent = 0;
        while (m_socket && sent < bytes.size()) {
            const ssize_t done =
                ::send(m_socket.Get(), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (done > 0) {
                sent += static_cast<std::size_t>(done);
            } else if (done < 0 && errno == EINTR) {
                continue;
            } else if (done < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) &&
                       WaitFor(m_socket.Get(), POLLOUT, deadline)) {
                continue;
            } else {
                m_error = "sending a command: " +
                          std::string(done < 0 ? std::strerror(errno) : "nothing sent");
                m_socket.Reset();
            }
        }
        return sent == bytes.size();
    }

    void Drain() {
        const auto deadline = Clock::now() + kRetuneDrain;
        m_bytes.resize(kRecvBytes);
        while (m_socket) {
            const ssize_t got = ReceiveSome(m_bytes.data(), m_bytes.size(), deadline);
            if (got <= 0) {
                if (got == 0) {
                    m_error = "the server closed the connection";
                    m_socket.Reset();
                }
                break;  // a timeout is the drain's normal end
            }
            // Pairs stay aligned: drop whole pairs and keep a split one.
            const std::size_t total = (m_hasOddByte ? 1 : 0) + static_cast<std::size_t>(got);
            m_hasOddByte = total % 2 != 0;
            m_oddByte = m_bytes[static_cast<std::size_t>(got) - 1];
            if (RemainingMs(deadline) == 0) {
                break;
            }
        }
        if (m_socket) {
            m_error.clear();
        }
    }

    std::string m_host;  // empty for a socket given from outside
    std::string m_port;
    UniqueFd m_socket;
    RtlTcpHeader m_header;
    std::uint32_t m_frequencyKhz = 0;
    bool m_hasOddByte = false;  // the stream has delivered an odd number of bytes
    std::uint8_t m_oddByte = 0;
    std::vector<std::uint8_t> m_bytes;
    std::string m_error;
};

}  // namespace

bool ParseRtlTcpHeader(std::span<const std::uint8_t> bytes, RtlTcpHeader& header,
                       std::string& error) {
    if (bytes.size() < kRtlTcpHeaderSize || std::memcmp(bytes.data(), "RTL0", 4) != 0) {
        error = "not an rtl_tcp server (no RTL0 header)";
        return false;
    }
    header.tunerType = BigEndian32(bytes.data() + 4);
    header.gainCount = BigEndian32(bytes.data() + 8);
    if (header.tunerType > kMaxTunerType || header.gainCount > kMaxGainCount) {
        error = "implausible rtl_tcp header: tuner type " + std::to_string(header.tunerType) +
                ", " + std::to_string(header.gainCount) + " gain steps";
        return false;
    }
    return true;
}

std::array<std::uint8_t, 5> EncodeRtlTcpCommand(RtlTcpCommand command, std::uint32_t parameter) {
    return {command, static_cast<std::uint8_t>(parameter >> 24),
            static_cast<std::uint8_t>(parameter >> 16), static_cast<std::uint8_t>(parameter >> 8),
            static_cast<std::uint8_t>(parameter)};
}

std::unique_ptr<IqSource> OpenRtlTcpSource(const std::string& host, const std::string& port,
                                           std::string& error) {
    UniqueFd socket = Connect(host, port, error);
    if (!socket) {
        return nullptr;
    }
    auto source = std::make_unique<RtlTcpSource>(host, port);
    if (!source->Start(std::move(socket), error)) {
        return nullptr;
    }
    return source;
}

std::unique_ptr<IqSource> OpenRtlTcpSourceOnSocket(UniqueFd socket, std::string& error) {
    auto source = std::make_unique<RtlTcpSource>(std::string(), std::string());
    if (!source->Start(std::move(socket), error)) {
        return nullptr;
    }
    return source;
}

}  // namespace devices
