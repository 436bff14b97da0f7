// Our radio signal checked by a DAB receiver we did not write: welle-cli (Debian package
// welle.io) reads the IQ recordings the broadcast builder makes and must find our labels and
// decode the check pattern of every audio sub-channel byte for byte.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "broadcast/check_pattern.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t kFrames = 200;  // 4.8 s, played by welle-cli in a loop

// Two audio sub-channels with the check pattern (UEP and EEP), and a TPEG service.
constexpr char kEnsemble[] =
    "frames 200\n"
    "ensemble 225648 0x4FFE \"Check Ensemble\"\n"
    "subchannel 1 uep 35\n"
    "subchannel 2 eep 64 2\n"
    "subchannel 3 eep 64 3\n"
    "audio 0xE301 \"Check Radio UEP\" 1 pattern\n"
    "audio 0xE302 \"Check Radio EEP\" 2 pattern\n"
    "tpeg 0xF1E00448 \"TPEG Check\" 3 256\n";

struct Pattern {
    std::size_t frames = 0;  // whole frames decoded
    std::size_t bad = 0;     // frames that are not the pattern or not the next one
};

Pattern CheckPattern(const std::string& path, std::size_t frameBytes) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
    Pattern result;
    int last = -1;
    for (std::size_t at = 0; at + frameBytes <= bytes.size(); at += frameBytes) {
        const int number = broadcast::CheckPatternFrame(std::span(bytes).subspan(at, frameBytes));
        const bool next = last < 0 || number == (last + 1) % static_cast<int>(kFrames);
        result.bad += number < 0 || !next ? 1 : 0;
        last = number;
        ++result.frames;
    }
    return result;
}

std::string HttpGet(int port, const std::string& path) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string reply;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        const std::string request = "GET " + path + " HTTP/1.0\r\n\r\n";
        if (::write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
            char buffer[4096];
            for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) {
                reply.append(buffer, static_cast<std::size_t>(n));
            }
        }
    }
    ::close(fd);
    return reply;
}

int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

class IndependentReceiver : public ::testing::Test {
  protected:
    void SetUp() override {
        m_welle = testsupport::FindOnPath("welle-cli");
        if (m_welle.empty() || testsupport::FindOnPath("timeout").empty()) {
            GTEST_SKIP() << "welle-cli (Debian package welle.io) is not installed: the radio "
                            "signal cannot be checked by an independent receiver";
        }
        std::ofstream(m_dir / "check.conf") << kEnsemble;
        ASSERT_EQ(Build({"--config", m_dir / "check.conf", m_dir.Path(), "--iq", "--quiet"}), 0);
    }

    static int Build(const std::vector<std::string>& args) {
        testsupport::ChildProcess builder("dmbtpeg-mkbroadcast", args);
        const auto status = builder.Wait(120s);
        EXPECT_TRUE(status) << builder.Errors();
        return status.value_or(-1);
    }

    // welle-cli reads the file in real time and wants a terminal that never sends its quit
    // command; it runs in its own folder (its dumps land there) until stopped.
    std::unique_ptr<testsupport::ChildProcess> StartWelle(const std::string& iq,
                                                          const std::string& options) {
        std::filesystem::create_directories(m_dir / "welle");
        const std::string command = "cd '" + (m_dir / "welle") + "' && sleep 300 | exec '" +
                                    m_welle + "' -f '" + iq + "' " + options;
        return std::make_unique<testsupport::ChildProcess>(
            testsupport::FindOnPath("timeout"),
            std::vector<std::string>{"240", "sh", "-c", command});
    }

    // Runs welle-cli with -D until each audio service's dump holds `frames` frames (or four
    // minutes pass), then checks both dumps.
    void ExpectPatternDecoded(const std::string& iq, std::size_t frames) {
        auto welle = StartWelle(iq, "-D");
        const std::string uep = m_dir / "welle/Check Radio UEP.msc";
        const std::string eep = m_dir / "welle/Check Radio EEP.msc";
        auto size = [](const std::string& path) {
            std::error_code ec;
            const auto bytes = std::filesystem::file_size(path, ec);
            return ec ? 0 : bytes;
        };
        while (welle->Running() && (size(uep) < frames * 384 || size(eep) < frames * 192)) {
            std::this_thread::sleep_for(200ms);
        }
        welle->Signal(SIGTERM);
        welle->Wait(10s);
        for (const auto& [path, frameBytes] : {std::pair{uep, 384u}, std::pair{eep, 192u}}) {
            const Pattern pattern = CheckPattern(path, frameBytes);
            EXPECT_GE(pattern.frames, frames) << path << "\n" << welle->Errors().substr(0, 4000);
            EXPECT_EQ(pattern.bad, 0u) << path;
        }
    }

    testsupport::TempDir m_dir;
    std::string m_welle;
};

TEST_F(IndependentReceiver, FindsTheEnsembleAndEveryServiceByTheirLabels) {
    const int port = FreePort();
    auto welle = StartWelle(m_dir / "225648.iq", "-w " + std::to_string(port));
    const std::regex ensemble(R"("label":\s*"Check Ensemble\s*")");
    std::string mux;
    for (auto until = std::chrono::steady_clock::now() + 60s;
         std::chrono::steady_clock::now() < until && welle->Running();
         std::this_thread::sleep_for(500ms)) {
        mux = HttpGet(port, "/mux.json");
        if (std::regex_search(mux, ensemble) && mux.find("TPEG Check") != std::string::npos &&
            mux.find("Check Radio EEP") != std::string::npos &&
            mux.find("Check Radio UEP") != std::string::npos) {
            break;
        }
    }
    welle->Signal(SIGTERM);
    EXPECT_TRUE(std::regex_search(mux, ensemble)) << mux.substr(0, 2000);
    for (const char* service : {"Check Radio UEP", "Check Radio EEP", "TPEG Check"}) {
        EXPECT_TRUE(std::regex_search(mux, std::regex(std::string(R"("label":\s*")") + service)))
            << service << "\n"
            << mux.substr(0, 2000);
    }
    EXPECT_TRUE(std::regex_search(mux, std::regex(R"("protection":\s*"UEP 3")"))) << mux;
    EXPECT_TRUE(std::regex_search(mux, std::regex(R"("protection":\s*"EEP 2-A")"))) << mux;
}

TEST_F(IndependentReceiver, DecodesEveryAudioSubChannelByteForByte) {
    // More frames than the recording has, so the loop's seam is crossed too.
    ExpectPatternDecoded(m_dir / "225648.iq", kFrames + 100);
}

TEST_F(IndependentReceiver, DecodesThePatternThroughNoiseOffsetsAndAnEcho) {
    const std::string iq = m_dir / "impaired.iq";
    ASSERT_EQ(Build({"--iq-from", m_dir / "225648.eti", iq, "--snr", "12", "--cfo", "1234", "--sco",
                     "20", "--echo", "40:-10", "--seed", "3"}),
              0);
    ExpectPatternDecoded(iq, 150);
}

}  // namespace
