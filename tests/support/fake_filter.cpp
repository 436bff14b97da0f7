#include "tests/support/fake_filter.h"

#include "platform/com_object.h"
#include "platform/text.h"

using namespace platform;

namespace testsupport {

namespace {

class FakePin final : public PinBase {
  public:
    FakePin(FakeFilter& filter, PIN_DIRECTION direction, std::u16string name)
        : PinBase(filter, direction, std::move(name)), m_owner(filter) {}

    HRESULT Connect(IPin* receivePin, const AM_MEDIA_TYPE* mediaType) override {
        HRESULT hr = PinBase::Connect(receivePin, mediaType);
        return SUCCEEDED(hr) ? m_owner.connectSuccess.load() : hr;
    }

  private:
    FakeFilter& m_owner;
};

}  // namespace

void StateLog::Add(std::string entry) {
    std::lock_guard lock(m_mutex);
    m_entries.push_back(std::move(entry));
}

std::vector<std::string> StateLog::Entries() const {
    std::lock_guard lock(m_mutex);
    return m_entries;
}

void StateLog::Clear() {
    std::lock_guard lock(m_mutex);
    m_entries.clear();
}

FakeFilter::FakeFilter(std::string label, StateLog& log, FakeFilterOptions options)
    : FilterBase(kFakeFilterClsid),
      m_label(std::move(label)),
      m_log(log),
      m_offersTuner(options.offersTuner) {
    for (int i = 0; i < options.inputs; ++i) {
        m_inputs.push_back(AddPin(
            std::make_unique<FakePin>(*this, PINDIR_INPUT, FromUtf8("In" + std::to_string(i)))));
    }
    for (int i = 0; i < options.outputs; ++i) {
        m_outputs.push_back(AddPin(
            std::make_unique<FakePin>(*this, PINDIR_OUTPUT, FromUtf8("Out" + std::to_string(i)))));
    }
}

HRESULT FakeFilter::Tune(DWORD frequencyKhz) {
    tunedKhz = frequencyKhz;
    return S_OK;
}

IPin* FakeFilter::Input(int index) const {
    return m_inputs.at(index);
}

IPin* FakeFilter::Output(int index) const {
    return m_outputs.at(index);
}

void* FakeFilter::FindInterface(REFIID iid) {
    if (iid == kIidFakeTuner) {
        return m_offersTuner ? static_cast<IFakeTuner*>(this) : nullptr;
    }
    return FilterBase::FindInterface(iid);
}

HRESULT FakeFilter::OnPause(FILTER_STATE) {
    m_log.Add(m_label + ":pause");
    return pauseResult.load();
}

HRESULT FakeFilter::OnRun(REFERENCE_TIME) {
    m_log.Add(m_label + ":run");
    return runResult.load();
}

HRESULT FakeFilter::OnStop() {
    m_log.Add(m_label + ":stop");
    return S_OK;
}

ComPtr<FakeFilter> MakeFakeFilter(std::string label, StateLog& log, FakeFilterOptions options) {
    return MakeComObject<FakeFilter>(std::move(label), log, options);
}

}  // namespace testsupport
