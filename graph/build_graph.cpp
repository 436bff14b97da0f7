#include "graph/build_graph.h"

#include "platform/format.h"
#include "platform/message_queue.h"

using namespace platform;

namespace {

// How often the stop step looks again whether the worker is still in a pass.
constexpr DWORD kPassPollMs = 20;

}  // namespace

void StopForRebuild(const GraphBuild& b) {
    if (b.mChannelState.load() == 0) {
        return;
    }
    // A pass that began after an earlier stop step may have signalled its end
    // since; that signal says nothing about the pass this step waits for.
    ResetEvent(b.mhPassEndEvent);
    b.mChannelState.store(0);
    // The worker signals the end of a pass only when it saw the withdrawn
    // state; a pass that read the state just before it changed ends without
    // the signal. So the wait also ends as soon as the worker is out of its
    // pass, instead of waiting forever for a signal that never comes. The
    // worker may be in a send to the navigation application, which may send
    // to this thread in turn: those sends are handled meanwhile.
    while (b.mbTuningPass.load() == 1 &&
           WaitForSingleObjectHandlingSends(b.mhPassEndEvent, kPassPollMs) == WAIT_TIMEOUT) {
    }
    ResetEvent(b.mhPassEndEvent);
    EnterCriticalSection(&b.mcsChannelInfo);
    b.mTsPlayer.StopGraph();
    LeaveCriticalSection(&b.mcsChannelInfo);
}

bool BuildGraph(const GraphBuild& b) {
    StopForRebuild(b);
    if (!b.mTsPlayer.CreateFilters(b.mnGraphMode)) {
        DebugPrintf(u"TDmbMain Fail to CreateFilters\r\n");
        return false;
    }
    if (!b.mTsPlayer.ConnectFilters()) {
        DebugPrintf(u"TDmbMain Fail to Connect filters");
        return false;
    }
    DebugPrintf(u"TDmbMain Filter_TF = TRUE \r\n");
    TunerParam record{};
    record.word[1] = b.dwCountry;
    record.word[2] = b.dwBand;
    return b.mTsPlayer.SetTunerParam(kTunerSetRegion, &record);
}
