#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "channels/channel_selection.h"
#include "platform/log.h"
#include "tests/support/log_capture.h"

using platform::ScopedLogSink;
using testsupport::CapturingLogSink;

namespace {

ChannelInfo Service(std::uint32_t id, std::int32_t type = kServiceTypeData,
                    std::string_view label = "") {
    ChannelInfo e{};
    e.dwServiceId = id;
    e.dwServiceType = type;
    e.dwFrequency = static_cast<std::int32_t>(id & 0xFFFF);
    std::memcpy(e.szLabel, label.data(), std::min(label.size(), kLabelSize));
    return e;
}

class Selection : public testing::Test {
  protected:
    std::size_t UsidLines() const {
        std::size_t n = 0;
        for (const auto& line : m_log.Lines()) {
            n += line.starts_with(u" usid = ");
        }
        return n;
    }

    CChannelList m_list;
    ChannelInfo m_out{};
    CapturingLogSink m_log;
    ScopedLogSink m_guard{m_log};
};

TEST_F(Selection, PreferredServiceEndsTheSearchAndStaysWhereItWasFound) {
    for (std::uint32_t id : {0xF1E00445u, 0xF1E00245u, 0xF1E00448u, 0xF1E00445u}) {
        m_list.Append(Service(id));
    }
    ASSERT_TRUE(m_list.GetChannelInfo(m_out));
    EXPECT_EQ(m_out.dwServiceId, 0xF1E00448u);
    EXPECT_EQ(m_list.mdwType2Index, 2);
    EXPECT_EQ(m_list.mnSearchStep, 0);
    EXPECT_EQ(UsidLines(), 3u);
    EXPECT_EQ(m_log.Lines()[2], u" usid = 4057990216d \r\n");
    // The next search finds it again first.
    m_log.Clear();
    ASSERT_TRUE(m_list.GetChannelInfo(m_out));
    EXPECT_EQ(UsidLines(), 1u);
    EXPECT_EQ(m_list.mdwType2Index, 2);
}

TEST_F(Selection, LastFallbackMetWinsAndTheIndexEndsBeforeTheStart) {
    std::int32_t frequency = 100;
    for (std::uint32_t id : {0xF1E00445u, 0xF1E00245u, 0xF1E00445u}) {
        ChannelInfo e = Service(id);
        e.dwFrequency = frequency++;
        m_list.Append(e);
    }
    ASSERT_TRUE(m_list.GetChannelInfo(m_out));
    EXPECT_EQ(m_out.dwFrequency, 102);
    EXPECT_EQ(m_list.mdwType2Index, 2);
    EXPECT_EQ(UsidLines(), 3u);
}

TEST_F(Selection, StartIndexOutOfRangeWraps) {
    m_list.Append(Service(0xF1E00248));
    m_list.Append(Service(0x1111));
    m_list.Append(Service(0xF1E00448));
    m_list.mdwType2Index = 5;
    ASSERT_TRUE(m_list.GetChannelInfo(m_out));
    EXPECT_EQ(m_out.dwServiceId, 0xF1E00248u);
    EXPECT_EQ(m_list.mdwType2Index, 0);

    m_list.mdwType2Index = -1;
    ASSERT_TRUE(m_list.GetChannelInfo(m_out));
    EXPECT_EQ(m_out.dwServiceId, 0xF1E00448u);
    EXPECT_EQ(m_list.mdwType2Index, 2);
}

TEST_F(Selection, OnlyDataServicesWithTpegIdentifiersAreCandidates) {
    m_list.Append(Service(0xF1E00448, kServiceTypeAudio));
    m_list.Append(Service(0xF1E00449));
    EXPECT_FALSE(m_list.GetChannelInfo(m_out));
    EXPECT_EQ(UsidLines(), 0u);
    CChannelList empty;
    EXPECT_FALSE(empty.GetChannelInfo(m_out));
}

class UpdateChannel : public Selection {
  protected:
    UpdateChannel() {
        platform::InitializeCriticalSection(&m_lock);
        m_event = platform::CreateEvent(nullptr, platform::TRUE, platform::FALSE, nullptr);
    }
    ~UpdateChannel() override {
        platform::CloseHandle(m_event);
        platform::DeleteCriticalSection(&m_lock);
    }
    ChannelSelection Target() { return {m_list, m_info, m_state, m_label, m_lock, m_event}; }
    bool EventSet() const {
        return platform::WaitForSingleObject(m_event, 0) == platform::WAIT_OBJECT_0;
    }

    ChannelInfo m_info{};
    std::atomic<std::uint8_t> m_state{kChannelInvalid};
    std::array<platform::WCHAR, kChannelLabelUnits> m_label{};
    platform::CRITICAL_SECTION m_lock{};
    platform::HANDLE m_event = nullptr;
};

TEST_F(UpdateChannel, ChoosesLogsTheLabelAndRaisesTheRequest) {
    m_list.Append(
        Service(0xF1E00448, kServiceTypeData, std::string("TPEG") + std::string(16, '\0')));
    UpdateChannelInfo(Target());
    EXPECT_EQ(m_state.load(), kChannelValid);
    EXPECT_EQ(m_info.dwServiceId, 0xF1E00448u);
    EXPECT_EQ(std::u16string(m_label.data()), u"TPEG");
    EXPECT_EQ(m_log.Lines().back(), u"[TDMBPlayer] mChannelInfo : TPEG\r\n");
    EXPECT_TRUE(EventSet());
}

TEST_F(UpdateChannel, ValidChoiceIsLeftAloneEvenWhenTheListChanged) {
    m_state = kChannelValid;
    m_list.Append(Service(0xF1E00448));
    UpdateChannelInfo(Target());
    EXPECT_EQ(m_info.dwServiceId, 0u);
    EXPECT_TRUE(m_log.Lines().empty());
    EXPECT_FALSE(EventSet());
}

TEST_F(UpdateChannel, NoServiceLogsAndLeavesStateAndEvent) {
    m_state = kChannelScanStarting;
    UpdateChannelInfo(Target());
    EXPECT_EQ(m_state.load(), kChannelScanStarting);
    EXPECT_EQ(m_log.Lines(), std::vector<std::u16string>{u"Fail to get channel information \r\n"});
    EXPECT_FALSE(EventSet());
}

TEST(LabelText, KoreanLabelIsConvertedAndAFullLabelIsNotOverrun) {
    std::array<platform::WCHAR, kChannelLabelUnits> label{};
    ChannelInfo korean = Service(1, kServiceTypeData, "\xb1\xb3\xc5\xeb\xc1\xa4\xba\xb8");
    MakeLabelText(korean, 82, label);
    EXPECT_EQ(std::u16string(label.data()), u"교통정보");

    ChannelInfo full = Service(1, kServiceTypeData, "ABCDEFGHIJKLMNOPQRST");
    full.byAudioCode = 'Z';  // the byte after the label must not show up
    MakeLabelText(full, 82, label);
    EXPECT_EQ(std::u16string(label.data()), u"ABCDEFGHIJKLMNOPQRST");
    MakeLabelText(full, 86, label);
    EXPECT_EQ(std::u16string(label.data()), u"ABCDEFGHIJKLMNOPQRST");

    std::array<platform::WCHAR, 5> small{};
    MakeLabelText(full, 82, small);
    EXPECT_EQ(std::u16string(small.data()), u"ABCD");
}

TEST(ReportChannels, LogsEntriesAndTheAnnouncedCount) {
    CapturingLogSink log;
    ScopedLogSink guard(log);
    CChannelList list;
    list.Append(Service(1));
    list.mdwChannelCount = 5;
    ReportChannels(list);
    EXPECT_EQ(log.Lines(),
              (std::vector<std::u16string>{u"[ZQ DMB] S_CH_READ = 1 \r\n",
                                           u"[ZQ DMB] mChannel.mdwChannelCount = 5 \r\n"}));
}

}  // namespace
