#include "devices/iq_source.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "broadcast/check_pattern.h"
#include "broadcast/dab_modulator.h"
#include "broadcast/dab_receiver.h"
#include "broadcast/eti.h"
#include "broadcast/fic.h"
#include "broadcast/iq_signal.h"
#include "devices/unique_fd.h"
#include "tests/support/eti_recording.h"
#include "tests/support/temp_dir.h"

namespace {

using Samples = std::vector<std::complex<float>>;
using namespace std::chrono_literals;

void WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

// A ramp that differs in every sample, so a loop joined at the wrong byte shows.
Samples Ramp(std::size_t count) {
    Samples samples;
    for (std::size_t i = 0; i < count; ++i) {
        const float x = static_cast<float>(i % 97) / 97.0f - 0.5f;
        samples.emplace_back(x, -x * 0.5f);
    }
    return samples;
}

TEST(IqFileSource, PlaysBothFormatsInALoopAndIgnoresAPartialTrailingSample) {
    testsupport::TempDir dir;
    const Samples ramp = Ramp(1000);
    for (const auto format : {broadcast::IqFormat::U8, broadcast::IqFormat::Cf32}) {
        std::vector<std::uint8_t> bytes;
        broadcast::AppendSamples(ramp, format, bytes);
        Samples expected;
        broadcast::ReadSamples(bytes, format, expected);
        bytes.push_back(0x55);  // a sample cut short at the end of the recording
        const bool u8 = format == broadcast::IqFormat::U8;
        WriteFile(dir / (u8 ? "183008.iq" : "183008.cf32.iq"), bytes);
        if (u8) {
            std::remove((dir / "183008.cf32.iq").c_str());
        } else {
            std::remove((dir / "183008.iq").c_str());
        }

        std::string error;
        auto source = devices::OpenIqSource("file:" + dir.Path(), error);
        ASSERT_TRUE(source) << error;
        ASSERT_TRUE(source->Tune(183008));
        Samples out(2500);
        ASSERT_EQ(source->Read(out), out.size()) << source->LastError();
        for (std::size_t i = 0; i < out.size(); ++i) {
            ASSERT_EQ(out[i], expected[i % expected.size()]) << "sample " << i;
        }
        EXPECT_LT(std::abs(out[0] - ramp[0]), 0.02f);  // at the level it was written
    }
}

TEST(IqFileSource, TuneFailsWithoutARecordingAndReadsNothingFromAFileWithoutASample) {
    testsupport::TempDir dir;
    std::string error;
    auto source = devices::OpenIqSource("file:" + dir.Path(), error);
    ASSERT_TRUE(source) << error;
    Samples out(16);
    EXPECT_FALSE(source->Tune(183008));
    EXPECT_EQ(source->Read(out), 0u);

    WriteFile(dir / "183008.iq", {0x80});
    ASSERT_TRUE(source->Tune(183008));
    EXPECT_EQ(source->Read(out), 0u);
    EXPECT_FALSE(source->LastError().empty());

    // Removed while playing: received no more from the next tune on.
    std::remove((dir / "183008.iq").c_str());
    EXPECT_FALSE(source->Tune(183008));
}

// An rtl_tcp server on a loopback port: sends `header`, then `samples` (by
// default the pair (200, 60)) over and over in odd-sized pieces, and records
// the commands it receives. A header shorter than 12 bytes is all it sends
// before it hangs up.
class FakeRtlTcpServer {
  public:
    explicit FakeRtlTcpServer(std::vector<std::uint8_t> header,
                              std::vector<std::uint8_t> samples = {})
        : m_header(std::move(header)), m_samples(std::move(samples)) {
        if (m_samples.empty()) {
            for (int i = 0; i < 1001; ++i) {
                m_samples.push_back(200);
                m_samples.push_back(60);
            }
        }
        m_listener = devices::UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        if (::bind(m_listener.Get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::listen(m_listener.Get(), 4) != 0 ||
            ::getsockname(m_listener.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            ADD_FAILURE() << "no loopback server";
        }
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] { Serve(); });
    }
    ~FakeRtlTcpServer() {
        m_stop = true;
        m_thread.join();
    }

    std::string Setting() const { return "rtl_tcp:127.0.0.1:" + std::to_string(m_port); }
    void DropConnection() { m_drop = true; }
    int Connections() const { return m_connections; }

    // The commands received, once there are at least `count` (or after 10 s).
    std::vector<std::pair<std::uint8_t, std::uint32_t>> Commands(std::size_t count) {
        std::unique_lock lock(m_mutex);
        m_changed.wait_for(lock, 10s, [&] { return m_commands.size() >= count; });
        return m_commands;
    }

  private:
    void Serve() {
        while (!m_stop) {
            pollfd listening{m_listener.Get(), POLLIN, 0};
            if (::poll(&listening, 1, 10) != 1) {
                continue;
            }
            devices::UniqueFd client(::accept4(m_listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
            ++m_connections;
            if (::send(client.Get(), m_header.data(), m_header.size(), MSG_NOSIGNAL) < 0) {
                continue;
            }
            if (m_header.size() >= 12) {
                Talk(client.Get());
            }
        }
    }

    void Talk(int client) {
        std::size_t sent = 0;
        std::vector<std::uint8_t> received;
        m_drop = false;
        while (!m_stop && !m_drop) {
            pollfd entry{client, POLLIN | POLLOUT, 0};
            if (::poll(&entry, 1, 10) != 1) {
                continue;
            }
            if ((entry.revents & POLLIN) != 0) {
                std::uint8_t buffer[64];
                const ssize_t got = ::recv(client, buffer, sizeof(buffer), MSG_DONTWAIT);
                if (got <= 0) {
                    return;
                }
                received.insert(received.end(), buffer, buffer + got);
                std::lock_guard lock(m_mutex);
                for (; received.size() >= 5;
                     received.erase(received.begin(), received.begin() + 5)) {
                    m_commands.emplace_back(received[0], (std::uint32_t{received[1]} << 24) |
                                                             (std::uint32_t{received[2]} << 16) |
                                                             (std::uint32_t{received[3]} << 8) |
                                                             received[4]);
                }
                m_changed.notify_all();
            }
            if ((entry.revents & POLLOUT) != 0) {
                const std::size_t at = sent % m_samples.size();
                const ssize_t done = ::send(client, m_samples.data() + at,
                                            std::min<std::size_t>(1001, m_samples.size() - at),
                                            MSG_NOSIGNAL | MSG_DONTWAIT);
                if (done > 0) {
                    sent += static_cast<std::size_t>(done);
                }
            }
        }
    }

    std::vector<std::uint8_t> m_header;
    std::vector<std::uint8_t> m_samples;
    devices::UniqueFd m_listener;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_drop{false};
    std::atomic<int> m_connections{0};
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::pair<std::uint8_t, std::uint32_t>> m_commands;
    std::thread m_thread;  // last: started when the rest is ready
};

const std::vector<std::uint8_t> kGoodHeader = {'R', 'T', 'L', '0', 0, 0, 0, 5, 0, 0, 0, 29};

TEST(RtlTcpSource, SetsUpTheServerTunesAndDeliversConvertedSamples) {
    FakeRtlTcpServer server(kGoodHeader);
    std::string error;
    auto source = devices::OpenIqSource(server.Setting(), error);
    ASSERT_TRUE(source) << error;
    ASSERT_TRUE(source->Tune(183008)) << source->LastError();

    const auto commands = server.Commands(4);
    const std::pair<std::uint8_t, std::uint32_t> rate{0x02, 2048000};
    const std::pair<std::uint8_t, std::uint32_t> frequency{0x01, 183008000};
    const auto rateAt = std::find(commands.begin(), commands.end(), rate);
    EXPECT_NE(rateAt, commands.end());
    EXPECT_NE(std::find(commands.begin(), commands.end(),
                        std::pair<std::uint8_t, std::uint32_t>{0x03, 0}),
              commands.end())
        << "automatic gain";
    EXPECT_NE(std::find(rateAt, commands.end(), frequency), commands.end());

    // Sent in odd-sized pieces: every sample must still be the pair (200, 60).
    Samples expected;
    broadcast::ReadSamples(std::vector<std::uint8_t>{200, 60}, broadcast::IqFormat::U8, expected);
    for (int block = 0; block < 3; ++block) {
        Samples out(30000);
        ASSERT_EQ(source->Read(out), out.size()) << source->LastError();
        for (const auto& sample : out) {
            ASSERT_EQ(sample, expected[0]);
        }
    }
}

// Two seconds of an ensemble as a radio signal: a FIC with its labels and an EEP 3-A sub-channel
// with the check pattern, in u8 samples as a dongle delivers them.
std::vector<std::uint8_t> EnsembleSignal() {
    broadcast::EnsembleDescription ensemble;
    ensemble.eid = 0x4FFE;
    ensemble.label = "Over The Net";
    ensemble.subChannels.push_back(broadcast::EepSubChannel(3, 0, 64, 3));
    broadcast::Service radio;
    radio.sid = 0xE301;
    radio.label = "Pattern Radio";
    radio.subChannelId = 3;
    ensemble.services.push_back(radio);
    broadcast::DabModulator modulator;
    std::vector<std::uint8_t> signal;
    std::string error;
    for (const auto& frame : testsupport::MakeEtiFrames(ensemble, 84, std::nullopt, true)) {
        EXPECT_TRUE(modulator.Add(broadcast::ParseEtiFrame(frame).frame, error)) << error;
        if (modulator.FrameReady()) {
            broadcast::AppendSamples(modulator.Samples(), broadcast::IqFormat::U8, signal);
        }
    }
    return signal;
}

TEST(RtlTcpSource, AnEnsembleServedOverTheNetworkIsReceived) {
    FakeRtlTcpServer server(kGoodHeader, EnsembleSignal());
    std::string error;
    auto source = devices::OpenIqSource(server.Setting(), error);
    ASSERT_TRUE(source) << error;
    ASSERT_TRUE(source->Tune(183008)) << source->LastError();
    broadcast::DabReceiver receiver;
    receiver.SelectSubChannel(broadcast::EepSubChannel(3, 0, 64, 3));
    broadcast::FicDecoder fic;
    std::size_t patternFrames = 0;
    Samples block(49152);
    // Three seconds of signal: synchronisation, the FIC's labels and the time de-interleaver.
    for (int i = 0; i < 125 && source->Read(block) == block.size(); ++i) {
        receiver.Push(block, [&](const broadcast::ReceivedCif& cif) {
            fic.PushFic(cif.fic);
            patternFrames += broadcast::CheckPatternFrame(cif.subChannel) >= 0 ? 1 : 0;
        });
    }
    EXPECT_EQ(fic.Ensemble().label, "Over The Net");
    ASSERT_NE(fic.Ensemble().FindService(0xE301), nullptr);
    EXPECT_EQ(fic.Ensemble().FindService(0xE301)->label, "Pattern Radio");
    EXPECT_GT(patternFrames, 50u);
    EXPECT_EQ(receiver.Status().fibsBad, 0u);
}

TEST(RtlTcpSource, ReadEndsWhenTheServerGoesAndTheNextTuneConnectsAgain) {
    FakeRtlTcpServer server(kGoodHeader);
    std::string error;
    auto source = devices::OpenIqSource(server.Setting(), error);
    ASSERT_TRUE(source) << error;
    ASSERT_TRUE(source->Tune(183008));
    server.DropConnection();
    // What was on the way is delivered first; then nothing, without a hang.
    Samples out(1 << 20);
    std::size_t got = 1;
    for (int reads = 0; reads < 100 && got > 0; ++reads) {
        const auto start = std::chrono::steady_clock::now();
        got = source->Read(out);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    }
    ASSERT_EQ(got, 0u);
    EXPECT_NE(source->LastError().find("closed"), std::string::npos) << source->LastError();

    ASSERT_TRUE(source->Tune(200000)) << source->LastError();
    EXPECT_EQ(server.Connections(), 2);
    EXPECT_EQ(source->Read(std::span(out).first(1000)), 1000u);
}

TEST(RtlTcpSource, RefusesAServerWithoutAnRtlTcpHeader) {
    const std::vector<std::vector<std::uint8_t>> headers = {
        {'H', 'T', 'T', 'P', '/', '1', '.', '0', ' ', '4', '0', '0'},
        {'R', 'T', 'L', '0', 0, 0, 0, 5, 0xFF, 0xFF, 0xFF, 0xFF},
        {'R', 'T', 'L'},  // then gone
    };
    for (const auto& header : headers) {
        FakeRtlTcpServer server(header);
        std::string error;
        EXPECT_FALSE(devices::OpenIqSource(server.Setting(), error));
        EXPECT_NE(error.find("header"), std::string::npos) << error;
    }
}

TEST(IqSourceSetting, RefusesWhatItCannotOpenAndSaysWhy) {
    // A port nobody listens on: bound, then closed.
    int freePort = 0;
    {
        devices::UniqueFd socket(::socket(AF_INET, SOCK_STREAM, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        ASSERT_EQ(::bind(socket.Get(), reinterpret_cast<sockaddr*>(&address), length), 0);
        ASSERT_EQ(::getsockname(socket.Get(), reinterpret_cast<sockaddr*>(&address), &length), 0);
        freePort = ntohs(address.sin_port);
    }
    const std::pair<std::string, std::string> cases[] = {
        {"", "unknown IQ source"},
        {"hackrf", "unknown IQ source"},
        {"file:", "needs a folder"},
        {"file:/nonexistent/folder", "not a folder"},
        {"rtl_tcp:localhost", "expected rtl_tcp:HOST:PORT"},
        {"rtl_tcp:localhost:0", "expected rtl_tcp:HOST:PORT"},
        {"rtl_tcp:localhost:65536", "expected rtl_tcp:HOST:PORT"},
        {"rtl_tcp:::1:1234", "expected rtl_tcp:HOST:PORT"},
        {"rtl_tcp:127.0.0.1:" + std::to_string(freePort), "refused"},
        {"rtlsdr:first", "expected rtlsdr or rtlsdr:INDEX"},
        {"rtlsdr:99", "rtlsdr"},
    };
    for (const auto& [setting, why] : cases) {
        std::string error;
        EXPECT_FALSE(devices::OpenIqSource(setting, error)) << setting;
        EXPECT_NE(error.find(why), std::string::npos) << setting << ": " << error;
    }
}

}  // namespace
