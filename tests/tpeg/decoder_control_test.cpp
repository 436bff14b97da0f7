#include <gtest/gtest.h>

#include "platform/log.h"
#include "platform/message_queue.h"
#include "tests/support/fake_decoders.h"
#include "tests/support/log_capture.h"
#include "tests/support/nav_app.h"
#include "tpeg/decoder_control.h"
#include "tpeg/tpeg_events.h"

using testsupport::CapturingLogSink;

using namespace platform;
using testsupport::FakeDecoders;

namespace {

class DecoderControl : public testing::Test {
  protected:
    DecoderControl() { WM_DMBANTLV = RegisterWindowMessage(u"WM_DMBANTLV"); }

    std::vector<std::u16string> Log() const { return m_log.Lines(); }

    FakeDecoders m_decoders;
    CapturingLogSink m_log;
    ScopedLogSink m_guard{m_log};
    std::atomic<std::int32_t> m_running{0};
    std::atomic<std::uint8_t> m_reportSignal{0};
    std::atomic<std::int32_t> m_signalReport{2};
    DecoderState m_state{reinterpret_cast<HWND>(0x4242), m_running, m_reportSignal, m_signalReport};
};

TEST_F(DecoderControl, InitChainsBothLibrariesInOrder) {
    EXPECT_EQ(InitDecoders(m_state), 1);
    EXPECT_EQ(m_decoders.Calls(),
              (std::vector<std::string>{"InitTDC(131072,16384,1)", "InitTpegLibrary(16962)",
                                        "RegisterEventHandler", "SetLogLevel(0)", "GetTSP",
                                        "SetTransferDataPath(1)", "SetSelectParser(32767)",
                                        "SetPoiOpsFlag(1)", "GetTpegQueue", "SetTDCQueue(20816)"}));
    EXPECT_EQ(m_decoders.EventCallback(), &OnDecoderEvent);
    EXPECT_EQ(Log(), std::vector<std::u16string>{u"Tpeg data file folder 생성완료\r\n"});
}

TEST_F(DecoderControl, InitStopsAtTheFirstFailureWithItsLine) {
    struct Case {
        const char* function;
        long long result;
        const char16_t* line;
        const char* lastCall;
    };
    const Case cases[] = {
        {"InitTDC", 0, nullptr, "InitTDC(131072,16384,1)"},
        {"InitTpegLibrary", 1, u"Tpeg decoder 초기화 에러\r\n", "InitTpegLibrary(16962)"},
        {"RegisterEventHandler", -1, u"Tpeg Decoder RegisterEvent 실패\r\n",
         "RegisterEventHandler"},
        {"SetLogLevel", 2, u"Tpeg Decoder SetLogLevel 실패\r\n", "SetLogLevel(0)"},
        {"SetTransferDataPath", 1, u"Tpeg data file folder 생성에러\r\n", "SetTransferDataPath(1)"},
    };
    for (const Case& c : cases) {
        FakeDecoders decoders;
        m_log.Clear();
        decoders.Script(c.function, {c.result});
        EXPECT_EQ(InitDecoders(m_state), 0) << c.function;
        EXPECT_EQ(decoders.Calls().back(), c.lastCall);
        if (c.line == nullptr) {
            EXPECT_TRUE(Log().empty());
        } else {
            EXPECT_EQ(Log(), std::vector<std::u16string>{c.line});
        }
    }
}

TEST_F(DecoderControl, TspIsResetOnlyWhenSet) {
    m_decoders.Script("GetTSP", {1});
    m_decoders.Script("SetTSP", {1});
    EXPECT_EQ(InitDecoders(m_state), 0);
    EXPECT_EQ(Log(), std::vector<std::u16string>{u"Tpeg Decoder SetTSP 실패\r\n"});
    EXPECT_EQ(m_decoders.CallsOf("SetTSP"), std::vector<std::string>{"SetTSP(0)"});

    m_decoders.ClearCalls();
    EXPECT_EQ(InitDecoders(m_state), 1);
    EXPECT_TRUE(m_decoders.CallsOf("SetTSP").empty());
}

TEST_F(DecoderControl, MissingQueueIsNoFailure) {
    m_decoders.Script("GetTpegQueue", {0});
    EXPECT_EQ(InitDecoders(m_state), 1);
    EXPECT_TRUE(m_decoders.CallsOf("SetTDCQueue").empty());
}

TEST_F(DecoderControl, StartNotifiesAndArmsTheSignalRepeats) {
    testsupport::NavAppStandIn navApp;
    StartDecoders(m_state);
    EXPECT_EQ(m_running.load(), 1);
    EXPECT_EQ(m_reportSignal.load(), 1);
    EXPECT_EQ(m_signalReport.load(), 0);
    EXPECT_EQ(Log(), (std::vector<std::u16string>{u"[DMB] Start Tpeg Decoder\r\n",
                                                  u"[DMB] Start Tpeg Decoder2\r\n"}));
    ASSERT_EQ(navApp.Messages().size(), 1u);
    EXPECT_EQ(navApp.Messages()[0].message, WM_DMBANTLV.load());
    EXPECT_EQ(navApp.Messages()[0].wParam, 1u);

    m_decoders.ClearCalls();
    StartDecoders(m_state);
    EXPECT_TRUE(m_decoders.Calls().empty());
    EXPECT_EQ(navApp.Messages().size(), 1u);
}

TEST_F(DecoderControl, TdcStateDecidesWhetherDecodingStarts) {
    struct Case {
        std::vector<long long> states;
        std::size_t queries;
        bool starts;
    };
    const Case cases[] = {
        {{1}, 1, true}, {{2, 2}, 2, true}, {{2, 1}, 2, false}, {{3, 3}, 2, false}};
    for (const Case& c : cases) {
        FakeDecoders decoders;
        m_log.Clear();
        m_running = 0;
        decoders.Script("GetTDCState", c.states);
        StartDecoders(m_state);
        EXPECT_EQ(decoders.CallsOf("GetTDCState").size(), c.queries);
        EXPECT_EQ(m_running.load(), c.starts ? 1 : 0);
        if (!c.starts) {
            EXPECT_EQ(Log(), std::vector<std::u16string>{u"[DMB] Start Tpeg Decoder\r\n"});
            EXPECT_TRUE(decoders.CallsOf("StartTDCDecode").empty());
        }
    }
}

TEST_F(DecoderControl, FailedTdcStartLeavesTheFlagAndTellsNobody) {
    m_decoders.Script("StartTDCDecode", {0});
    StartDecoders(m_state);
    EXPECT_EQ(m_running.load(), 0);
    EXPECT_EQ(m_reportSignal.load(), 0);
    EXPECT_EQ(Log(), std::vector<std::u16string>{u"[DMB] Start Tpeg Decoder\r\n"});

    m_decoders.Script("StartTpegDecoder", {1});
    m_log.Clear();
    StartDecoders(m_state);
    EXPECT_TRUE(Log().empty());
}

TEST_F(DecoderControl, StopStopsTheTdcDecoderOnlyAfterTheTpegDecoder) {
    StopDecoders(m_state);
    EXPECT_TRUE(m_decoders.Calls().empty());

    m_running = 1;
    m_decoders.Script("StopTpegDecoder", {1});
    StopDecoders(m_state);
    EXPECT_EQ(m_decoders.Calls(), std::vector<std::string>{"StopTpegDecoder"});
    EXPECT_TRUE(Log().empty());

    m_decoders.ClearCalls();
    StopDecoders(m_state);
    EXPECT_EQ(m_decoders.Calls(), (std::vector<std::string>{"StopTpegDecoder", "StopTDCDecode"}));
    EXPECT_EQ(Log(),
              (std::vector<std::u16string>{u"Stop Tpeg Decoder\r\n", u"Stop TDC Decoder\r\n"}));
    EXPECT_EQ(m_running.load(), 1) << "the flag stays until the next initialisation";
}

TEST_F(DecoderControl, UninitReleasesBothLibrariesEvenAfterAFailedInit) {
    m_decoders.Script("InitTDC", {0});
    InitDecoders(m_state);
    m_decoders.ClearCalls();
    UninitDecoders();
    EXPECT_EQ(m_decoders.Calls(), (std::vector<std::string>{"UninitTpegLibrary", "UninitTDC"}));
}

TEST_F(DecoderControl, FeedForwardsTheFourArgumentsUnchanged) {
    m_decoders.Script("FillMSCData", {77});
    EXPECT_EQ(FeedMscData(1, 2, 3, 4), 77);
    EXPECT_EQ(m_decoders.Calls(), std::vector<std::string>{"FillMSCData(1,2,3,4)"});
}

}  // namespace
