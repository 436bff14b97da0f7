#include "broadcast/fic.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "broadcast/crc.h"

namespace {

using broadcast::FibError;

broadcast::EnsembleDescription SampleEnsemble() {
    broadcast::EnsembleDescription e;
    e.eid = 0xE0B8;
    e.label = "Test Ensemble";
    e.subChannels.push_back(broadcast::UepSubChannel(1, 0, 35));
    e.subChannels.push_back(broadcast::EepSubChannel(2, 96, 384, 3));
    e.subChannels.push_back(broadcast::EepSubChannel(3, 384, 64, 2, 1));
    e.subChannels.back().fecScheme = 1;
    broadcast::Service audio;
    audio.sid = 0xE1B1;
    audio.label = "Radio";
    audio.kind = broadcast::ServiceKind::Audio;
    audio.subChannelId = 1;
    broadcast::Service video;
    video.sid = 0xE1B2;
    video.label = "Television";
    video.kind = broadcast::ServiceKind::Video;
    video.componentType = broadcast::kDsctyMpeg2Ts;
    video.subChannelId = 2;
    broadcast::Service tpeg;
    tpeg.sid = broadcast::MakeDataSid(0xF1, 0xE, 0x00448);
    tpeg.longSid = true;
    tpeg.label = "TPEG Traffic";
    tpeg.kind = broadcast::ServiceKind::Data;
    tpeg.packetMode = true;
    tpeg.serviceComponentId = 0x123;
    tpeg.subChannelId = 3;
    tpeg.packetAddress = 0x2FF;
    tpeg.componentType = broadcast::kDsctyTdc;
    tpeg.userApplication = broadcast::kUserApplicationTpeg;
    e.services = {audio, video, tpeg};
    return e;
}

TEST(Fic, SubChannelSizesFollowTheProtectionProfiles) {
    const auto uep = broadcast::UepSubChannel(1, 0, 35);
    EXPECT_EQ(uep.sizeCu, 96);
    EXPECT_EQ(uep.bitrate, 128);
    EXPECT_EQ(uep.protectionLevel, 3);
    EXPECT_EQ(uep.StreamLengthWords(), 48);
    EXPECT_EQ(broadcast::EepSubChannel(2, 0, 384, 3).sizeCu, 288);
    EXPECT_EQ(broadcast::EepSubChannel(3, 0, 64, 2, 1).sizeCu, 42);
}

TEST(Fic, PacketComponentFigLaysDownEveryField) {
    std::vector<broadcast::Fig> figs;
    const auto ensemble = SampleEnsemble();
    broadcast::AppendFig0_3(ensemble.services, figs);
    ASSERT_EQ(figs.size(), 1u);
    const std::vector<std::uint8_t> expected{
        0x06,        // type 0, length 6
        0x03,        // C/N 0, OE 0, P/D 0, extension 3
        0x12, 0x30,  // SCId 0x123, rfa, CAOrg 0
        0x05,        // DG flag 0 (data groups used), DSCTy 5
        0x0E, 0xFF,  // SubChId 3, packet address 0x2FF
    };
    EXPECT_EQ(figs[0], expected);
}

TEST(Fic, EncodedEnsembleDecodesToTheSameDescription) {
    const auto ensemble = SampleEnsemble();
    broadcast::FicEncoder encoder(ensemble);
    broadcast::FicDecoder decoder;
    std::vector<std::uint8_t> fic(broadcast::FicSize(1));
    for (std::uint32_t frame = 0; frame < 10; ++frame) {
        encoder.Fill(frame, fic);
        EXPECT_EQ(decoder.PushFic(fic), 0u);
    }
    ASSERT_TRUE(decoder.IsComplete());
    const auto decoded = decoder.Ensemble();
    EXPECT_EQ(decoded.eid, 0xE0B8);
    EXPECT_EQ(decoded.label, "Test Ensemble");
    ASSERT_EQ(decoded.subChannels.size(), 3u);
    for (const auto& expected : ensemble.subChannels) {
        const auto* got = decoded.FindSubChannel(expected.id);
        ASSERT_NE(got, nullptr);
        EXPECT_EQ(got->startAddress, expected.startAddress);
        EXPECT_EQ(got->sizeCu, expected.sizeCu);
        EXPECT_EQ(got->shortForm, expected.shortForm);
        EXPECT_EQ(got->protectionLevel, expected.protectionLevel);
        EXPECT_EQ(got->option, expected.option);
        EXPECT_EQ(got->bitrate, expected.bitrate);
        EXPECT_EQ(got->fecScheme, expected.fecScheme);
    }
    ASSERT_EQ(decoded.services.size(), 3u);
    EXPECT_NE(decoded.FindService(0xF1E00448), nullptr);
    for (const auto& expected : ensemble.services) {
        const auto* got = decoded.FindService(expected.sid);
        ASSERT_NE(got, nullptr) << std::hex << expected.sid;
        EXPECT_EQ(got->sid, expected.sid);
        EXPECT_EQ(got->label, expected.label);
        EXPECT_EQ(got->kind, expected.kind);
        EXPECT_EQ(got->longSid, expected.longSid);
        EXPECT_EQ(got->subChannelId, expected.subChannelId);
        EXPECT_EQ(got->packetAddress, expected.packetAddress);
        EXPECT_EQ(got->componentType, expected.componentType);
        EXPECT_EQ(got->userApplication, expected.userApplication);
    }
}

TEST(Fic, FibWithBadCrcTeachesNothing) {
    const auto ensemble = SampleEnsemble();
    broadcast::FicEncoder encoder(ensemble);
    std::vector<std::uint8_t> fic(broadcast::FicSize(1));
    encoder.Fill(0, fic);
    fic[5] ^= 0x01;
    broadcast::FicDecoder decoder;
    EXPECT_EQ(decoder.PushFib(std::span(fic).first(32)), FibError::BadCrc);
    EXPECT_FALSE(decoder.HasEnsembleInfo());
    EXPECT_EQ(decoder.Revision(), 0u);
}

TEST(Fic, FigOverrunningTheFibIsRejected) {
    std::vector<std::uint8_t> fib(32, 0);
    fib[0] = 0x1F;  // type 0 with 31 bytes: more than the FIB holds
    const std::uint16_t crc = broadcast::Crc16(std::span(fib).first(30));
    fib[30] = crc >> 8;
    fib[31] = crc & 0xFF;
    broadcast::FicDecoder decoder;
    EXPECT_EQ(decoder.PushFib(fib), FibError::BadFig);
}

TEST(Fic, LabelsArePaddedToSixteenAndTrimmedBack) {
    const auto fig = broadcast::EncodeFig1_5(0xF1E00445, "Traffic");
    ASSERT_EQ(fig.size(), 24u);
    EXPECT_EQ(fig[0], (1 << 5) | 23);
    EXPECT_EQ(fig[1], 0x05);
    EXPECT_EQ(fig[2], 0xF1);
    EXPECT_EQ(fig[13], ' ');
    struct Sink : broadcast::FigSink {
        void OnServiceLabel(std::uint32_t serviceId, std::string_view text) override {
            sid = serviceId;
            label = text;
        }
        std::uint32_t sid = 0;
        std::string label;
    } sink;
    EXPECT_EQ(broadcast::ParseFig1(std::span(fig).subspan(1), sink), broadcast::FigError::None);
    EXPECT_EQ(sink.sid, 0xF1E00445u);
    EXPECT_EQ(sink.label, "Traffic");
}

}  // namespace
