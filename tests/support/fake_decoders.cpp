#include "tests/support/fake_decoders.h"

#include <atomic>
#include <cassert>

namespace testsupport {
namespace {

std::atomic<FakeDecoders*> gCurrent{nullptr};

std::string Args() {
    return "";
}
template <typename T, typename... Rest>
std::string Args(T first, Rest... rest) {
    std::string s = std::to_string(first);
    ((s += "," + std::to_string(rest)), ...);
    return s;
}

template <typename R, typename... A>
R Call(const char* name, A... args) {
    std::string call =
        sizeof...(A) == 0 ? std::string(name) : std::string(name) + "(" + Args(args...) + ")";
    return static_cast<R>(FakeDecoders::Current().Answer(name, call));
}

}  // namespace

FakeDecoders::FakeDecoders() {
    m_defaults = {{"InitTDC", 1},
                  {"GetTpegQueue", 0x5150},
                  {"GetTDCState", 1},
                  {"StartTDCDecode", 1},
                  {"StopTDCDecode", 1},
                  {"FillMSCData", 0},
                  {"UninitTDC", 0},
                  {"InitTpegLibrary", 0},
                  {"SetLogLevel", 0},
                  {"GetTSP", 0},
                  {"SetTSP", 0},
                  {"SetTransferDataPath", 0},
                  {"SetSelectParser", 0},
                  {"SetPoiOpsFlag", 0},
                  {"SetTDCQueue", 0},
                  {"StartTpegDecoder", 0},
                  {"StopTpegDecoder", 0},
                  {"TTBEventComplete", 0},
                  {"UninitTpegLibrary", 0},
                  {"RegisterEventHandler", 0}};
    m_table = DecoderLibrary{
        .InitTDC =
            [](const std::uint32_t* c) { return Call<std::int32_t>("InitTDC", c[0], c[1], c[2]); },
        .GetTpegQueue = [] { return Call<std::uintptr_t>("GetTpegQueue"); },
        .GetTDCState = [] { return Call<std::int32_t>("GetTDCState"); },
        .StartTDCDecode = [] { return Call<std::int32_t>("StartTDCDecode"); },
        .StopTDCDecode = [] { return Call<std::int32_t>("StopTDCDecode"); },
        .FillMSCData =
            [](std::uintptr_t a, std::uintptr_t b, std::uintptr_t c, std::uintptr_t d) {
                return Call<std::intptr_t>("FillMSCData", a, b, c, d);
            },
        .UninitTDC = [] { return Call<std::int32_t>("UninitTDC"); },
        .InitTpegLibrary =
            [](std::uintptr_t w) { return Call<std::int32_t>("InitTpegLibrary", w); },
        .RegisterEventHandler =
            [](TpegEventCallback cb) {
                Current().RememberCallback(cb);
                return Call<std::int32_t>("RegisterEventHandler");
            },
        .SetLogLevel = [](std::int32_t v) { return Call<std::int32_t>("SetLogLevel", v); },
        .GetTSP = [] { return Call<std::int32_t>("GetTSP"); },
        .SetTSP = [](std::int32_t v) { return Call<std::int32_t>("SetTSP", v); },
        .SetTransferDataPath =
            [](const char16_t* p) {
                return Call<std::int32_t>("SetTransferDataPath",
                                          p != nullptr && p == std::u16string(u"\\TPEGDATA"));
            },
        .SetSelectParser = [](std::uint32_t m) { return Call<std::int32_t>("SetSelectParser", m); },
        .SetPoiOpsFlag = [](std::int32_t f) { return Call<std::int32_t>("SetPoiOpsFlag", f); },
        .SetTDCQueue = [](std::uintptr_t q) { return Call<std::int32_t>("SetTDCQueue", q); },
        .StartTpegDecoder = [] { return Call<std::int32_t>("StartTpegDecoder"); },
        .StopTpegDecoder = [] { return Call<std::int32_t>("StopTpegDecoder"); },
        .GetTransferDataPath =
            [] {
                Call<int>("GetTransferDataPath");
                return Current().DataPath();
            },
        .TTBEventComplete =
            [](std::uintptr_t p, std::uint32_t c) {
                return Call<std::int32_t>("TTBEventComplete", p, c);
            },
        .UninitTpegLibrary = [] { return Call<std::int32_t>("UninitTpegLibrary"); },
    };
    gCurrent.store(this);
    SetDecoderLibrary(&m_table);
}

FakeDecoders::~FakeDecoders() {
    SetDecoderLibrary(nullptr);
    gCurrent.store(nullptr);
}

FakeDecoders& FakeDecoders::Current() {
    FakeDecoders* current = gCurrent.load();
    assert(current != nullptr);
    return *current;
}

void FakeDecoders::Script(const std::string& function, std::vector<long long> results) {
    std::lock_guard lock(m_mutex);
    auto& queue = m_scripts[function];
    queue.insert(queue.end(), results.begin(), results.end());
}

void FakeDecoders::SetDefault(const std::string& function, long long result) {
    std::lock_guard lock(m_mutex);
    m_defaults[function] = result;
}

void FakeDecoders::SetDataPath(const char16_t* path) {
    std::lock_guard lock(m_mutex);
    m_pathNull = path == nullptr;
    m_path = path ? path : u"";
}

const char16_t* FakeDecoders::DataPath() const {
    std::lock_guard lock(m_mutex);
    return m_pathNull ? nullptr : m_path.c_str();
}

long long FakeDecoders::Answer(const std::string& function, const std::string& call) {
    std::lock_guard lock(m_mutex);
    m_calls.push_back(call);
    auto& queue = m_scripts[function];
    if (!queue.empty()) {
        long long result = queue.front();
        queue.pop_front();
        return result;
    }
    return m_defaults[function];
}

void FakeDecoders::RememberCallback(TpegEventCallback callback) {
    std::lock_guard lock(m_mutex);
    m_callback = callback;
}

TpegEventCallback FakeDecoders::EventCallback() const {
    std::lock_guard lock(m_mutex);
    return m_callback;
}

std::vector<std::string> FakeDecoders::Calls() const {
    std::lock_guard lock(m_mutex);
    return m_calls;
}

std::vector<std::string> FakeDecoders::CallsOf(const std::string& function) const {
    std::lock_guard lock(m_mutex);
    std::vector<std::string> out;
    for (const auto& c : m_calls) {
        if (c == function || c.rfind(function + "(", 0) == 0) {
            out.push_back(c);
        }
    }
    return out;
}

void FakeDecoders::ClearCalls() {
    std::lock_guard lock(m_mutex);
    m_calls.clear();
}

}  // namespace testsupport
