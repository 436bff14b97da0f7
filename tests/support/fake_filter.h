// Fake filters for graph tests: they record their state changes in a shared
// log, can be told to fail a transition or a connection, and offer a private
// interface (IFakeTuner) unless told to refuse it.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "platform/com_ptr.h"
#include "platform/dshow.h"
#include "platform/filter_base.h"

namespace testsupport {

inline constexpr platform::CLSID kFakeFilterClsid{
    0x3B0C1E6A, 0x51D2, 0x4F0E, {0x9A, 0x11, 0x27, 0x6C, 0x0D, 0x84, 0xE2, 0x01}};
inline constexpr platform::IID kIidFakeTuner{
    0x3B0C1E6A, 0x51D2, 0x4F0E, {0x9A, 0x11, 0x27, 0x6C, 0x0D, 0x84, 0xE2, 0x02}};

class IFakeTuner : public platform::IUnknown {
  public:
    static constexpr const platform::IID& kIid = kIidFakeTuner;
    using InterfaceBase = platform::IUnknown;
    virtual platform::HRESULT Tune(platform::DWORD frequencyKhz) = 0;

  protected:
    ~IFakeTuner() = default;
};

// Entries such as "sink:pause", in the order they happened across filters.
class StateLog {
  public:
    void Add(std::string entry);
    std::vector<std::string> Entries() const;
    void Clear();

  private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_entries;
};

struct FakeFilterOptions {
    int inputs = 0;
    int outputs = 0;
    bool offersTuner = true;
};

class FakeFilter final : public platform::FilterBase, public IFakeTuner {
  public:
    FakeFilter(std::string label, StateLog& log, FakeFilterOptions options);

    platform::HRESULT QueryInterface(platform::REFIID iid, void** object) override {
        return FilterBase::QueryInterface(iid, object);
    }
    platform::ULONG AddRef() override { return FilterBase::AddRef(); }
    platform::ULONG Release() override { return FilterBase::Release(); }
    platform::HRESULT Tune(platform::DWORD frequencyKhz) override;

    // Pins are named "In0", "In1", ... and "Out0", "Out1", ...
    platform::IPin* Input(int index) const;
    platform::IPin* Output(int index) const;

    // Failures to inject; S_OK means behave normally.
    std::atomic<platform::HRESULT> pauseResult{platform::S_OK};
    std::atomic<platform::HRESULT> runResult{platform::S_OK};
    // Returned by the output pins' Connect when the connection succeeded.
    std::atomic<platform::HRESULT> connectSuccess{platform::S_OK};
    std::atomic<platform::DWORD> tunedKhz{0};

  protected:
    void* FindInterface(platform::REFIID iid) override;
    platform::HRESULT OnPause(platform::FILTER_STATE from) override;
    platform::HRESULT OnRun(platform::REFERENCE_TIME start) override;
    platform::HRESULT OnStop() override;

  private:
    const std::string m_label;
    StateLog& m_log;
    const bool m_offersTuner;
    std::vector<platform::PinBase*> m_inputs;
    std::vector<platform::PinBase*> m_outputs;
};

platform::ComPtr<FakeFilter> MakeFakeFilter(std::string label, StateLog& log,
                                            FakeFilterOptions options);

}  // namespace testsupport
