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
    auto ensemble = SampleEnsemble();
    // TPEG also as a secondary component of the audio service.
    ensemble.subChannels.push_back(broadcast::EepSubChannel(4, 426, 32, 3));
    broadcast::Service secondary = ensemble.services[2];
    secondary.sid = 0xE1B1;
    secondary.longSid = false;
    secondary.label = "Radio";
    secondary.serviceComponentId = 0x124;
    secondary.subChannelId = 4;
    secondary.packetAddress = 0x005;
    secondary.scids = 1;
    ensemble.services.push_back(secondary);
    broadcast::FicEncoder encoder(ensemble);
    broadcast::FicDecoder decoder;
    std::vector<std::uint8_t> fic(broadcast::FicSize(1));
    for (std::uint32_t frame = 0; frame < 50; ++frame) {
        encoder.Fill(frame, fic);
        EXPECT_EQ(decoder.PushFic(fic), 0u);
    }
    ASSERT_TRUE(decoder.IsComplete());
    const auto decoded = decoder.Ensemble();
    EXPECT_EQ(decoded.eid, 0xE0B8);
    EXPECT_EQ(decoded.label, "Test Ensemble");
    ASSERT_EQ(decoded.subChannels.size(), 4u);
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
    ASSERT_EQ(decoded.services.size(), 4u);
    EXPECT_NE(decoded.FindService(0xF1E00448), nullptr);
    for (const auto& expected : ensemble.services) {
        const auto* got = decoded.FindComponent(expected.sid, expected.subChannelId);
        ASSERT_NE(got, nullptr) << std::hex << expected.sid;
        EXPECT_EQ(got->sid, expected.sid);
        EXPECT_EQ(got->label, expected.label);
        EXPECT_EQ(got->kind, expected.kind);
        EXPECT_EQ(got->longSid, expected.longSid);
        EXPECT_EQ(got->subChannelId, expected.subChannelId);
        EXPECT_EQ(got->packetAddress, expected.packetAddress);
        EXPECT_EQ(got->componentType, expected.componentType);
        EXPECT_EQ(got->userApplication, expected.userApplication);
        EXPECT_EQ(got->scids, expected.scids);
    }
    const auto component = decoder.TpegComponent(0xE1B1, 4);
    EXPECT_TRUE(component.known);
    EXPECT_EQ(component.address, 0x005);
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

// FIBs made by hand from FIG bytes written out field by field, so that a fault shared by the
// encoder and the decoder cannot hide.
std::vector<std::uint8_t> Fib(std::initializer_list<std::vector<std::uint8_t>> figs) {
    std::vector<std::uint8_t> fib;
    for (const auto& fig : figs) {
        fib.insert(fib.end(), fig.begin(), fig.end());
    }
    EXPECT_LE(fib.size(), 30u);
    fib.push_back(0xFF);
    fib.resize(30, 0);
    const std::uint16_t crc = broadcast::Crc16(fib);
    fib.push_back(static_cast<std::uint8_t>(crc >> 8));
    fib.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    return fib;
}

std::vector<std::uint8_t> Label(std::uint8_t extension, std::uint16_t id, std::string text) {
    std::vector<std::uint8_t> fig{(1 << 5) | 21, extension, static_cast<std::uint8_t>(id >> 8),
                                  static_cast<std::uint8_t>(id & 0xFF)};
    text.resize(16, ' ');
    fig.insert(fig.end(), text.begin(), text.end());
    fig.insert(fig.end(), {0xFF, 0x00});
    return fig;
}

// Programme service 0xC221: audio in sub-channel 1 (primary) and, as secondary component
// SCIdS 2, TPEG in packet mode (SCId 0x023) on sub-channel 5 at packet address 0x3FD, without
// data groups, with packet-mode FEC. The primary component signals another user application.
void PushProgrammeWithSecondaryTpeg(broadcast::FicDecoder& decoder) {
    const std::vector<std::vector<std::uint8_t>> fibs{
        Fib({{0x05, 0x00, 0xC0, 0xDE, 0x00, 0x00},                      // 0/0 EId 0xC0DE
             {0x08, 0x01, 0x04, 0x00, 0x23, 0x14, 0x60, 0x88, 0x30},    // 0/1 UEP 35; EEP 3-A 48 CU
             {0x08, 0x02, 0xC2, 0x21, 0x02, 0x00, 0x06, 0xC0, 0x8C}}),  // 0/2 audio + packet
        Fib({{0x06, 0x03, 0x02, 0x30, 0x85, 0x17, 0xFD},    // 0/3 SCId 0x023, DG 1, DSCTy 5
             {0x06, 0x08, 0xC2, 0x21, 0x02, 0x80, 0x23},    // 0/8 SCIdS 2 = SCId 0x023
             {0x0D, 0x0D, 0xC2, 0x21, 0x21, 0x00, 0x80,     // 0/13 SCIdS 2: TPEG
              0xC2, 0x21, 0x01, 0x00, 0x42, 0xAB, 0xCD}}),  //      SCIdS 0: 0x002, 2 data bytes
        Fib({{0x02, 0x0E, 0x15}, Label(0x01, 0xC221, "Radio Ost")}),  // 0/14 FEC 1; 1/1
        Fib({Label(0x00, 0xC0DE, "Ensemble Ost")}),                   // 1/0
    };
    for (const auto& fib : fibs) {
        ASSERT_EQ(decoder.PushFib(fib), FibError::None);
    }
}

TEST(Fic, TpegAsSecondaryComponentIsFoundAsTheFigsDescribeIt) {
    broadcast::FicDecoder decoder;
    PushProgrammeWithSecondaryTpeg(decoder);
    ASSERT_TRUE(decoder.IsComplete());
    const auto ensemble = decoder.Ensemble();
    ASSERT_EQ(ensemble.services.size(), 2u);
    const auto& audio = ensemble.services[0];
    EXPECT_EQ(audio.kind, broadcast::ServiceKind::Audio);
    EXPECT_EQ(audio.subChannelId, 1);
    EXPECT_EQ(audio.userApplication, 0x002);
    const auto& tpeg = ensemble.services[1];
    EXPECT_EQ(tpeg.sid, 0xC221u);
    EXPECT_EQ(tpeg.scids, 2);
    EXPECT_EQ(tpeg.kind, broadcast::ServiceKind::Data);
    EXPECT_EQ(tpeg.label, "Radio Ost");
    EXPECT_EQ(tpeg.subChannelId, 5);
    EXPECT_EQ(tpeg.packetAddress, 0x3FD);
    EXPECT_FALSE(tpeg.dataGroups);
    EXPECT_EQ(tpeg.userApplication, broadcast::kUserApplicationTpeg);
    EXPECT_EQ(ensemble.FindSubChannel(5)->sizeCu, 48);

    const auto info = decoder.TpegComponent(0xC221, 5);
    EXPECT_TRUE(info.known);
    EXPECT_EQ(info.address, 0x3FD);
    EXPECT_TRUE(info.dgFlag);
    EXPECT_EQ(info.fecScheme, 1);
    EXPECT_EQ(info.dscty, 5);
    EXPECT_FALSE(decoder.TpegComponent(0xC221, 1).known) << "no packet component there";
    EXPECT_FALSE(decoder.TpegComponent(0xC222, 5).known);
}

TEST(Fic, OtherEnsembleAndNextConfigurationAreIgnoredButLaterCurrentFigsReplace) {
    broadcast::FicDecoder decoder;
    PushProgrammeWithSecondaryTpeg(decoder);
    ASSERT_EQ(decoder.PushFib(Fib({
                  {0x06, 0x43, 0x02, 0x30, 0x85, 0x15, 0x01},  // 0/3 OE: address 0x101
                  {0x06, 0x83, 0x02, 0x30, 0x05, 0x15, 0x02},  // 0/3 next: 0x102, data groups
                  {0x06, 0x42, 0xD0, 0x01, 0x01, 0x00, 0x26},  // 0/2 OE: service 0xD001
                  {0x02, 0x8E, 0x14},                          // 0/14 next: no FEC
              })),
              FibError::None);
    auto info = decoder.TpegComponent(0xC221, 5);
    EXPECT_EQ(info.address, 0x3FD);
    EXPECT_TRUE(info.dgFlag);
    EXPECT_EQ(info.fecScheme, 1);
    EXPECT_EQ(decoder.Ensemble().FindService(0xD001), nullptr);

    // A reconfiguration on air: the component moves and uses data groups; the secondary
    // component is no longer signalled as TPEG.
    ASSERT_EQ(decoder.PushFib(Fib({
                  {0x06, 0x03, 0x02, 0x30, 0x05, 0x15, 0x01},  // 0/3 address 0x101, DG 0
                  {0x08, 0x0D, 0xC2, 0x21, 0x21, 0x00, 0x42, 0x01, 0x02},  // 0/13 SCIdS 2: 0x002
              })),
              FibError::None);
    info = decoder.TpegComponent(0xC221, 5);
    EXPECT_TRUE(info.known) << "the only packet component of the service in sub-channel 5";
    EXPECT_EQ(info.address, 0x101);
    EXPECT_FALSE(info.dgFlag);
    EXPECT_EQ(decoder.Ensemble().services.size(), 1u);
}

TEST(Fic, CarouselRepeatsEachFigAtItsOwnRate) {
    struct Counter : broadcast::FigSink {
        void OnEnsembleInfo(std::uint16_t, std::uint16_t) override { ++ensembleInfo; }
        void OnSubChannel(const broadcast::SubChannel&) override { ++subChannels; }
        void OnService(const broadcast::FigService&) override { ++services; }
        void OnPacketComponent(const broadcast::FigPacketComponent&) override { ++packets; }
        void OnEnsembleLabel(std::uint16_t, std::string_view) override { ++ensembleLabels; }
        int ensembleInfo = 0, subChannels = 0, services = 0, packets = 0, ensembleLabels = 0;
    };
    broadcast::FicEncoder encoder(SampleEnsemble());
    std::vector<std::uint8_t> fic(broadcast::FicSize(1));
    Counter total;
    for (std::uint32_t frame = 0; frame < 80; ++frame) {
        Counter sink;
        encoder.Fill(frame, fic);
        for (std::size_t at = 0; at < fic.size(); at += broadcast::kFibSize) {
            ASSERT_EQ(broadcast::ParseFib(std::span(fic).subspan(at, broadcast::kFibSize), sink),
                      FibError::None);
        }
        // FIG 0/0 once per 96 ms transmission frame, in its first CIF.
        EXPECT_EQ(sink.ensembleInfo, frame % 4 == 0 ? 1 : 0) << frame;
        total.ensembleInfo += sink.ensembleInfo;
        total.subChannels += sink.subChannels;
        total.services += sink.services;
        total.packets += sink.packets;
        total.ensembleLabels += sink.ensembleLabels;
    }
    // The configuration about ten times a second, the labels about once.
    EXPECT_EQ(total.subChannels, 20 * 3);
    EXPECT_EQ(total.services, 20 * 3);
    EXPECT_EQ(total.packets, 20);
    EXPECT_EQ(total.ensembleLabels, 2);
}

TEST(Fic, DateAndTimeDecodeInBothFormsAndImpossibleOnesAreCountedBad) {
    // MJD 59338 (2021-05-04): 08:00:00.250 in the long form, 23:59 in the short form.
    const std::vector<std::uint8_t> longForm{0x07, 0x0A, 0x39, 0xF2, 0x8A, 0x00, 0x00, 0xFA};
    const std::vector<std::uint8_t> shortForm{0x05, 0x0A, 0x39, 0xF2, 0x85, 0xFB};
    EXPECT_EQ(broadcast::EncodeFig0_10(*broadcast::FigDateTimeAt(1620115200250)), longForm);

    broadcast::FicDecoder decoder;
    ASSERT_EQ(decoder.PushFib(Fib({longForm})), FibError::None);
    ASSERT_TRUE(decoder.LatestTime());
    EXPECT_EQ(decoder.LatestTime()->utcSeconds, 1620115200);
    EXPECT_EQ(decoder.LatestTime()->fig.milliseconds, 250);
    EXPECT_EQ(broadcast::EncodeFig0_10(decoder.LatestTime()->fig), longForm);
    ASSERT_EQ(decoder.PushFib(Fib({shortForm})), FibError::None);
    EXPECT_EQ(decoder.LatestTime()->utcSeconds, 1620086400 + 23 * 3600 + 59 * 60);
    EXPECT_EQ(broadcast::EncodeFig0_10(decoder.LatestTime()->fig), shortForm);

    // Minute 60, and 08:00 flagged as another ensemble's: the FIB counts as bad, the FIG 0/0
    // beside them is still taken, the time held stays.
    const std::vector<std::uint8_t> ensembleInfo{0x05, 0x00, 0xE0, 0xB8, 0x00, 0x00};
    for (const std::vector<std::uint8_t>& bad :
         {std::vector<std::uint8_t>{0x05, 0x0A, 0x39, 0xF2, 0x85, 0xFC},
          std::vector<std::uint8_t>{0x05, 0x4A, 0x39, 0xF2, 0x82, 0x00}}) {
        broadcast::FicDecoder fresh = decoder;
        EXPECT_EQ(fresh.PushFib(Fib({bad, ensembleInfo})), FibError::BadFig);
        EXPECT_TRUE(fresh.HasEnsembleInfo());
        EXPECT_EQ(fresh.LatestTime()->fig, decoder.LatestTime()->fig);
    }
}

TEST(Fic, EncoderSendsEachFramesTimeInTheFirstFrameAndOnceASecond) {
    broadcast::FicEncoder encoder(SampleEnsemble());
    encoder.SendTime(1620115200000);
    broadcast::FicDecoder decoder;
    std::vector<std::uint8_t> fic(broadcast::FicSize(1));
    std::vector<std::pair<std::uint32_t, std::int64_t>> times;  // frame, UTC milliseconds
    for (std::uint32_t frame = 0; frame < 90; ++frame) {
        encoder.Fill(frame, fic);
        ASSERT_EQ(decoder.PushFic(fic), 0u);
        const auto& time = decoder.LatestTime();
        if (time && time->fic == decoder.FicCount()) {
            times.emplace_back(frame, time->utcSeconds * 1000 + time->fig.milliseconds);
        }
    }
    const std::vector<std::pair<std::uint32_t, std::int64_t>> expected{
        {0, 1620115200000}, {42, 1620115201008}, {84, 1620115202016}};
    EXPECT_EQ(times, expected);
}

}  // namespace
