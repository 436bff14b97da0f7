#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "broadcast/data_group.h"
#include "broadcast/data_group_assembler.h"
#include "broadcast/eti_reader.h"
#include "broadcast/fic.h"
#include "broadcast/packet.h"
#include "broadcast/packet_fec.h"
#include "broadcast/tpeg_component.h"
#include "broadcast/tpeg_message_store.h"
#include "broadcast/tpeg_service_decoder.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t kPreferredSid = 0xF1E00448;
constexpr std::uint32_t kFallbackSid = 0xF1E00445;

int RunBuilder(const std::vector<std::string>& args, std::string* errors = nullptr) {
    testsupport::ChildProcess builder(testsupport::BinDir() + "/dmbtpeg-mkbroadcast", args);
    const auto status = builder.Wait(120s);
    if (errors != nullptr) {
        *errors = builder.Errors();
    }
    return status.value_or(-1);
}

// One demo broadcast shared by the tests of this file: writing it takes a moment.
class DemoBroadcast : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        s_dir = new testsupport::TempDir;
        s_status = RunBuilder({"--demo", s_dir->Path(), "--quiet"});
    }
    static void TearDownTestSuite() {
        delete s_dir;
        s_dir = nullptr;
    }
    void SetUp() override { ASSERT_EQ(s_status, 0); }

    static std::string File(std::uint32_t frequency) {
        return *s_dir / (std::to_string(frequency) + ".eti");
    }

    static testsupport::TempDir* s_dir;
    static int s_status;
};

testsupport::TempDir* DemoBroadcast::s_dir = nullptr;
int DemoBroadcast::s_status = -1;

// The text our builder puts in a message: the attributes of the sub-component after the
// management container. Empty when the message is not shaped so.
std::string TextOf(std::span<const std::uint8_t> message) {
    const auto component = broadcast::ReadTpegComponent(message);
    if (!component) {
        return {};
    }
    auto rest = component->body;
    const auto attributes = broadcast::ReadUintLoMB(rest);
    if (!attributes || rest.size() < attributes->size + attributes->value) {
        return {};
    }
    rest = rest.subspan(attributes->size + attributes->value);
    const auto container = broadcast::ReadTpegComponent(rest);
    if (!container) {
        return {};
    }
    const auto content = broadcast::ReadTpegComponent(rest.subspan(container->size));
    if (!content) {
        return {};
    }
    const auto length = broadcast::ReadUintLoMB(content->body);
    if (!length) {
        return {};
    }
    const auto text = content->body.subspan(length->size);
    return {text.begin(), text.end()};
}

struct Collector : broadcast::TpegServiceObserver {
    void OnMessages(const broadcast::TpegApplication& app,
                    std::span<const std::uint8_t> file) override {
        const auto entries = broadcast::ReadMessageFile(file);
        ASSERT_TRUE(entries);
        auto& seen = apps[app.eventCode];
        if (!seen.ids.empty() && entries->size() < seen.ids.size()) {
            ++seen.shrinks;
        }
        seen.ids.clear();
        seen.text.clear();
        for (const auto& entry : *entries) {
            seen.ids.push_back(entry.messageId);
            seen.text += TextOf(entry.bytes);
        }
        seen.versions.push_back(entries->empty() ? 0 : entries->front().versionId);
    }
    struct Seen {
        std::vector<std::uint8_t> versions;  // of the first message, per file
        std::size_t shrinks = 0;             // files with fewer messages than the one before
        std::vector<std::uint32_t> ids;      // of the last file
        std::string text;                    // of the last file's messages
    };
    std::map<std::uint16_t, Seen> apps;
    std::size_t sniUpdates = 0;
    void OnServiceInformation(broadcast::ServiceId, const broadcast::SniTable&) override {
        ++sniUpdates;
    }
};

struct Reception {
    broadcast::EnsembleDescription ensemble;
    Collector collector;
    broadcast::TpegDecodeStats tpeg;
    std::size_t frames = 0;
    std::size_t badPackets = 0;
    std::size_t badGroups = 0;
    std::size_t droppedGroups = 0;
    std::size_t fecCorrections = 0;
};

// ETI -> FIC -> TPEG sub-channel -> packets (-> FEC) -> data groups -> TPEG -> messages.
// damageEvery > 0 flips bytes of the TPEG sub-channel in every damageEvery-th frame.
void Receive(const std::string& path, Reception& out, std::size_t damageEvery = 0) {
    broadcast::EtiReader reader;
    ASSERT_TRUE(reader.Open(path));
    broadcast::FicDecoder fic;
    for (int i = 0; i < 50 && !fic.IsComplete(); ++i) {
        const auto result = reader.Next();
        ASSERT_EQ(result.status, broadcast::EtiReadStatus::Frame);
        fic.PushFic(result.frame.fic);
    }
    ASSERT_TRUE(fic.IsComplete());
    out.ensemble = fic.Ensemble();
    const broadcast::Service* tpeg = nullptr;
    for (const auto& service : out.ensemble.services) {
        if (service.kind == broadcast::ServiceKind::Data &&
            service.componentType == broadcast::kDsctyTdc &&
            service.userApplication == broadcast::kUserApplicationTpeg) {
            tpeg = &service;
        }
    }
    ASSERT_NE(tpeg, nullptr);
    const bool fec = out.ensemble.FindSubChannel(tpeg->subChannelId)->fecScheme == 1;
    ASSERT_TRUE(reader.Rewind());

    broadcast::DataGroupAssembler assembler(tpeg->packetAddress);
    broadcast::PacketFecDecoder fecDecoder;
    broadcast::TpegServiceDecoder decoder;
    auto onPackets = [&](std::span<const std::uint8_t> packets) {
        while (!packets.empty()) {
            const auto packet = broadcast::ParsePacket(packets);
            if (packet.size == 0 || packet.size > packets.size()) {
                return;
            }
            packets = packets.subspan(packet.size);
            if (packet.error != broadcast::PacketError::None) {
                ++out.badPackets;
                continue;
            }
            const auto assembled = assembler.Push(packet.packet);
            if (assembled.status != broadcast::AssemblyStatus::Complete) {
                continue;
            }
            const auto group = broadcast::ParseDataGroup(assembled.dataGroup);
            if (group.error != broadcast::DataGroupError::None) {
                ++out.badGroups;
                continue;
            }
            decoder.Push(group.data, out.collector, 0);
        }
    };
    std::vector<std::uint8_t> channel;
    for (auto result = reader.Next(); result.status != broadcast::EtiReadStatus::End;
         result = reader.Next()) {
        ASSERT_EQ(result.status, broadcast::EtiReadStatus::Frame)
            << broadcast::ToString(result.error);
        const auto* stream = result.frame.FindStream(tpeg->subChannelId);
        ASSERT_NE(stream, nullptr);
        channel.assign(stream->data.begin(), stream->data.end());
        if (damageEvery > 0 && out.frames % damageEvery == damageEvery - 1) {
            channel[10] ^= 0xFF;
            channel[100] ^= 0x0F;
        }
        ++out.frames;
        if (!fec) {
            onPackets(channel);
            continue;
        }
        for (std::size_t at = 0; at < channel.size();) {
            const bool fecPacket =
                (((channel[at] & 3) << 8) | channel[at + 1]) == broadcast::kFecPacketAddress;
            const std::size_t size = fecPacket ? broadcast::kFecPacketSize
                                               : broadcast::PacketSizeOfCode(channel[at] >> 6);
            const auto step = fecDecoder.Push(std::span(channel).subspan(at, size));
            out.fecCorrections += step.correctedBytes;
            onPackets(step.released);
            at += size;
        }
    }
    out.tpeg = decoder.Stats();
    out.droppedGroups = assembler.DroppedGroups();
}

TEST_F(DemoBroadcast, TwoEnsemblesOfAMinuteEachNamedByFrequency) {
    for (const std::uint32_t frequency : {183008u, 195008u}) {
        EXPECT_EQ(std::filesystem::file_size(File(frequency)), 2500u * 6144u);
    }
}

TEST_F(DemoBroadcast, FicDescribesAudioVideoAndTheTpegDataService) {
    const std::map<std::uint32_t, std::uint32_t> tpegSid{{183008, kPreferredSid},
                                                         {195008, kFallbackSid}};
    for (const auto& [frequency, sid] : tpegSid) {
        SCOPED_TRACE(frequency);
        broadcast::EtiReader reader;
        ASSERT_TRUE(reader.Open(File(frequency)));
        broadcast::FicDecoder fic;
        for (int i = 0; i < 50; ++i) {
            fic.PushFic(reader.Next().frame.fic);
        }
        ASSERT_TRUE(fic.IsComplete());
        const auto ensemble = fic.Ensemble();
        EXPECT_FALSE(ensemble.label.empty());
        std::multiset<broadcast::ServiceKind> kinds;
        for (const auto& service : ensemble.services) {
            kinds.insert(service.kind);
            EXPECT_NE(ensemble.FindSubChannel(service.subChannelId), nullptr);
        }
        EXPECT_EQ(kinds, (std::multiset<broadcast::ServiceKind>{broadcast::ServiceKind::Audio,
                                                                broadcast::ServiceKind::Video,
                                                                broadcast::ServiceKind::Data}));
        const auto* tpeg = ensemble.FindService(sid);
        ASSERT_NE(tpeg, nullptr);
        EXPECT_TRUE(tpeg->longSid);
        EXPECT_TRUE(tpeg->packetMode);
        EXPECT_TRUE(tpeg->dataGroups);
        EXPECT_EQ(tpeg->componentType, broadcast::kDsctyTdc);
        EXPECT_EQ(tpeg->userApplication, broadcast::kUserApplicationTpeg);
        EXPECT_FALSE(tpeg->label.empty());
    }
}

TEST_F(DemoBroadcast, EveryApplicationArrivesAndChangesSeveralTimes) {
    for (const std::uint32_t frequency : {183008u, 195008u}) {
        SCOPED_TRACE(frequency);
        Reception reception;
        Receive(File(frequency), reception);
        EXPECT_EQ(reception.frames, 2500u);
        EXPECT_EQ(reception.badPackets, 0u);
        EXPECT_EQ(reception.badGroups, 0u);
        EXPECT_EQ(reception.droppedGroups, 0u);
        EXPECT_EQ(reception.tpeg.skippedBytes, 0u);
        EXPECT_EQ(reception.tpeg.badComponentFrames, 0u);
        EXPECT_EQ(reception.tpeg.badMessages, 0u);
        EXPECT_GT(reception.collector.sniUpdates, 0u);
        ASSERT_EQ(reception.collector.apps.size(), broadcast::kTpegApplicationCount);
        std::size_t shrinks = 0;
        for (const auto& app : broadcast::TpegApplications()) {
            SCOPED_TRACE(app.fileName);
            const auto& seen = reception.collector.apps[app.eventCode];
            EXPECT_GE(seen.versions.size(), 3u);
            EXPECT_NE(seen.text.find(std::string(app.name) + " message 1, period "),
                      std::string::npos);
            shrinks += seen.shrinks;
        }
        EXPECT_GT(shrinks, 0u) << "messages are cancelled as well as added and replaced";
    }
}

TEST_F(DemoBroadcast, PacketFecRepairsDamageOnTheFallbackEnsemble) {
    Reception reception;
    Receive(File(195008), reception, 40);
    EXPECT_GT(reception.fecCorrections, 0u);
    EXPECT_EQ(reception.badPackets, 0u);
    EXPECT_EQ(reception.droppedGroups, 0u);
    EXPECT_EQ(reception.collector.apps.size(), broadcast::kTpegApplicationCount);
}

TEST_F(DemoBroadcast, IndependentDecoderReadsOurEnsemble) {
    const std::string dablin = testsupport::FindOnPath("dablin");
    const std::string timeout = testsupport::FindOnPath("timeout");
    if (dablin.empty() || timeout.empty()) {
        GTEST_SKIP() << "dablin (Debian package dablin) is not installed: the ETI files cannot "
                        "be checked by an independent decoder";
    }
    // dablin plays in real time and forever: a few seconds show its FIC decoding. -p sends
    // audio to stdout instead of a sound device.
    testsupport::ChildProcess process(timeout, {"4", dablin, "-p", File(183008)});
    ASSERT_TRUE(process.Wait(60s).has_value());
    const std::string report =
        std::regex_replace(process.Errors(), std::regex("\x1b\\[[0-9;]*[A-Za-z]"), "");
    EXPECT_NE(report.find("ensemble label 'Demo DMB 8B'"), std::string::npos) << report;
    EXPECT_NE(report.find("SubChId  1: start   0 CUs, size  96 CUs, PL UEP 3   = 128 kBit/s"),
              std::string::npos)
        << report;
    EXPECT_NE(report.find("SubChId  3: start 384 CUs, size  48 CUs, PL EEP 3-A =  64 kBit/s"),
              std::string::npos)
        << report;
    EXPECT_NE(report.find("SId 0xE1B1: audio service (SubChId  1"), std::string::npos) << report;
    EXPECT_NE(report.find("programme service label 'Demo Radio 8B'"), std::string::npos) << report;
}

TEST(BroadcastBuilder, BadArgumentsAndDescriptionsExitWithTwo) {
    testsupport::TempDir dir;
    std::string errors;
    EXPECT_EQ(RunBuilder({}, &errors), 2);
    EXPECT_NE(errors.find("usage:"), std::string::npos);
    EXPECT_EQ(RunBuilder({"--demo"}), 2);
    EXPECT_EQ(RunBuilder({"--demo", dir.Path(), "--config", dir / "x"}), 2);

    const std::vector<std::pair<std::string, std::string>> bad{
        {"frames 10\n", "no ensemble"},
        {"ensemble 183008 0xE001 \"A\"\nsubchannel 1 eep 64 3\naudio 0x1234 \"R\" 2\n",
         "line 3: sub-channel 2 is not described"},
        {"ensemble 183008 0xE001 \"A label longer than sixteen\"\n", "line 1: label"},
        {"ensemble 183008 0xE001 \"A\"\nsubchannel 1 eep 64 3\nvideo 0x12345 \"V\" 1\n",
         "line 3: video services take a 16-bit SId"},
        {"ensemble 183008 0xE001 \"A\"\nsubchannel 1 uep 70\n", "line 2: expected"},
        {"ensemble 183008 0xE001 \"A\"\nsubchannel 1 eep 1024 1\n", "line 2: sub-channels exceed"},
        {"ensemble 183008 0xE001 \"A\"\nbogus\n", "line 2: unknown keyword 'bogus'"},
    };
    for (const auto& [text, message] : bad) {
        SCOPED_TRACE(text);
        std::ofstream(dir / "bad.txt") << text;
        EXPECT_EQ(RunBuilder({"--config", dir / "bad.txt", dir / "out"}, &errors), 2);
        EXPECT_NE(errors.find(message), std::string::npos) << errors;
    }
}

TEST(BroadcastBuilder, DescribedBroadcastWithContentFolder) {
    testsupport::TempDir dir;
    std::filesystem::create_directories(dir / "content");
    std::ofstream(dir / "content/TPRTM.BIN") << std::string(450, 'r');
    std::ofstream(dir / "content/TPNWS.BIN.1") << "news one";
    std::ofstream(dir / "content/TPNWS.BIN.2") << "news two";
    std::ofstream(dir / "one.txt") << "# small test broadcast\nframes 400\n"
                                      "ensemble 201008 0xE00C \"Test 12B\"\n"
                                      "subchannel 7 eep 32 2 fec\n"
                                      "tpeg 0xF1E00448 \"Traffic\" 7 0x3FD content \"" +
                                          (dir / "content") + "\" period 200 packet 48\n";
    ASSERT_EQ(RunBuilder({"--config", dir / "one.txt", dir / "out"}), 0);
    Reception reception;
    Receive(dir / "out/201008.eti", reception);
    EXPECT_EQ(reception.frames, 400u);
    ASSERT_EQ(reception.collector.apps.size(), 2u);
    EXPECT_EQ(reception.collector.apps[6129].text, std::string(450, 'r'));
    EXPECT_EQ(reception.collector.apps[6129].ids, (std::vector<std::uint32_t>{1, 2, 3}));
    // Two periods in the recording: the versions go round the 256 values in two steps.
    EXPECT_EQ(reception.collector.apps[6128].versions, (std::vector<std::uint8_t>{1, 129}));
    EXPECT_EQ(reception.collector.apps[6128].text, "news two");
}

TEST(BroadcastBuilder, TpegAsSecondaryComponentBesideFigsToIgnore) {
    testsupport::TempDir dir;
    std::ofstream(dir / "two.txt") << "frames 300\n"
                                      "ensemble 201008 0xE00C \"Test 12B\"\n"
                                      "subchannel 1 uep 35\n"
                                      "subchannel 2 eep 32 2\n"
                                      "audio 0xE301 \"Test Radio\" 1\n"
                                      "tpeg-secondary 0xE301 2 0x123 period 100\n"
                                      "ignored-figs next other-ensemble\n";
    ASSERT_EQ(RunBuilder({"--config", dir / "two.txt", dir / "out"}), 0);

    broadcast::EtiReader reader;
    ASSERT_TRUE(reader.Open(dir / "out/201008.eti"));
    broadcast::FicDecoder fic;
    for (int i = 0; i < 300; ++i) {
        fic.PushFic(reader.Next().frame.fic);
    }
    const auto ensemble = fic.Ensemble();
    ASSERT_EQ(ensemble.services.size(), 2u) << "no service of another ensemble";
    EXPECT_EQ(ensemble.services[1].sid, 0xE301u);
    EXPECT_EQ(ensemble.services[1].scids, 1);
    const auto component = fic.TpegComponent(0xE301, 2);
    EXPECT_TRUE(component.known);
    EXPECT_EQ(component.address, 0x123) << "the current configuration's address";

    Reception reception;
    Receive(dir / "out/201008.eti", reception);
    EXPECT_EQ(reception.badPackets, 0u);
    EXPECT_FALSE(reception.collector.apps.empty());
}

}  // namespace

namespace {

TEST(BroadcastBuilder, StreamShapesOnAirDecodeAsTheFirstOrTheDirectedService) {
    testsupport::TempDir dir;
    std::filesystem::create_directories(dir / "content");
    const std::string rtm(450, 'r');
    const std::string nws = "news";
    std::ofstream(dir / "content/TPRTM.BIN") << rtm;
    std::ofstream(dir / "content/TPNWS.BIN") << nws;
    for (const std::string directory : {"", " directory second"}) {
        SCOPED_TRACE(directory);
        std::ofstream(dir / "shapes.txt")
            << "frames 400\nensemble 201008 0xE00C \"Test 12B\"\nsubchannel 7 eep 64 2\n"
               "tpeg 0xF1E00448 \"Traffic\" 7 0x101 content \""
            << (dir / "content") << "\" service2 9.9.9 encrypted 3 damaged 4 oversized 5"
            << directory << "\n";
        ASSERT_EQ(RunBuilder({"--config", dir / "shapes.txt", dir / "out", "--quiet"}), 0);
        Reception reception;
        Receive(dir / "out/201008.eti", reception);
        // The second service maps the SCIDs the other way round and sends other message ids.
        const bool second = !directory.empty();
        const auto& rtmFile = reception.collector.apps[6129];
        const auto& nwsFile = reception.collector.apps[6128];
        if (second) {
            EXPECT_EQ(rtmFile.ids, std::vector<std::uint32_t>{0x10001});
            EXPECT_EQ(nwsFile.ids, (std::vector<std::uint32_t>{0x10001, 0x10002, 0x10003}));
        } else {
            EXPECT_EQ(rtmFile.text, rtm);
            EXPECT_EQ(nwsFile.text, nws);
        }
        EXPECT_EQ(reception.collector.apps.size(), 2u);
        EXPECT_GT(reception.tpeg.encryptedFrames, 0u);
        EXPECT_GT(reception.tpeg.otherServiceComponents, 0u);
        EXPECT_GT(reception.tpeg.badComponentFrames, 0u);
        EXPECT_GT(reception.tpeg.badFrames, 0u);
    }
}

}  // namespace
