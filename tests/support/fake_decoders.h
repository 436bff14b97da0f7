// A scripted stand-in for the two decoder libraries: records every call in
// order and answers with results the test sets, so the service's calling order
// and its tests of the results can be checked exactly.
#pragma once

#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "tpeg/decoder_library.h"

namespace testsupport {

class FakeDecoders {
  public:
    // Installs the fake for the whole process while it lives. Every function
    // answers success by default (InitTDC 1, GetTDCState 1, StartTDCDecode and
    // StopTDCDecode 1, GetTSP 0, GetTpegQueue 0x5150, the TPEG library 0,
    // GetTransferDataPath "\TPEGDATA").
    FakeDecoders();
    ~FakeDecoders();
    FakeDecoders(const FakeDecoders&) = delete;
    FakeDecoders& operator=(const FakeDecoders&) = delete;

    // The next calls of `function` answer these results in turn, then the
    // default again.
    void Script(const std::string& function, std::vector<long long> results);
    void SetDefault(const std::string& function, long long result);
    // Null makes GetTransferDataPath answer null.
    void SetDataPath(const char16_t* path);

    // Calls so far, as "Name" or "Name(arg,arg)".
    std::vector<std::string> Calls() const;
    std::vector<std::string> CallsOf(const std::string& function) const;
    void ClearCalls();
    TpegEventCallback EventCallback() const;

    static FakeDecoders& Current();
    long long Answer(const std::string& function, const std::string& call);
    void RememberCallback(TpegEventCallback callback);
    const char16_t* DataPath() const;

  private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_calls;
    std::map<std::string, std::deque<long long>> m_scripts;
    std::map<std::string, long long> m_defaults;
    std::u16string m_path = u"\\TPEGDATA";
    bool m_pathNull = false;
    TpegEventCallback m_callback = nullptr;
    DecoderLibrary m_table;
};

}  // namespace testsupport
