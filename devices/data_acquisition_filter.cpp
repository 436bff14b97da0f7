#include "devices/data_acquisition_filter.h"

#include <memory>

namespace devices {
namespace {

using namespace platform;

class DataInputPin final : public PinBase, public IMscBlockSink {
  public:
    explicit DataInputPin(DataAcquisitionFilter& filter)
        : PinBase(filter, PINDIR_INPUT, u"Data In"), m_owner(filter) {}

    HRESULT QueryInterface(REFIID iid, void** object) override {
        if (object != nullptr && iid == IID_IMscBlockSink) {
            *object = static_cast<IMscBlockSink*>(this);
            AddRef();
            return S_OK;
        }
        return PinBase::QueryInterface(iid, object);
    }
    ULONG AddRef() override { return PinBase::AddRef(); }
    ULONG Release() override { return PinBase::Release(); }

    HRESULT DeliverBlock(const std::uint8_t* data, std::size_t size, std::uintptr_t mscWord,
                         std::uint32_t frameCounter) override {
        return m_owner.DeliverBlock(data, size, mscWord, frameCounter);
    }

  private:
    DataAcquisitionFilter& m_owner;
};

}  // namespace

DataAcquisitionFilter::DataAcquisitionFilter() : FilterBase(CLSID_DataAcquisition) {
    AddPin(std::make_unique<DataInputPin>(*this));
}

HRESULT DataAcquisitionFilter::QueryInterface(REFIID iid, void** object) {
    return FilterBase::QueryInterface(iid, object);
}

ULONG DataAcquisitionFilter::AddRef() {
    return FilterBase::AddRef();
}

ULONG DataAcquisitionFilter::Release() {
    return FilterBase::Release();
}

void* DataAcquisitionFilter::FindInterface(REFIID iid) {
    if (iid == IID_IDataAcquisition) {
        return static_cast<IDataAcquisition*>(this);
    }
    return FilterBase::FindInterface(iid);
}

HRESULT DataAcquisitionFilter::SetDataCallback(MscDataCallback callback, void* context) {
    std::lock_guard lock(m_callbackLock);
    m_callback = callback;
    m_context = context;
    return S_OK;
}

HRESULT DataAcquisitionFilter::DeliverBlock(const std::uint8_t* data, std::size_t size,
                                            std::uintptr_t mscWord, std::uint32_t frameCounter) {
    std::lock_guard delivery(m_deliveryLock);
    if (!m_delivering) {
        return S_FALSE;
    }
    MscDataCallback callback = nullptr;
    {
        std::lock_guard lock(m_callbackLock);
        callback = m_callback;
    }
    if (callback != nullptr) {
        callback(reinterpret_cast<std::uintptr_t>(data), size, mscWord, frameCounter);
    }
    return S_OK;
}

void DataAcquisitionFilter::SetDelivering(bool delivering) {
    std::lock_guard delivery(m_deliveryLock);
    m_delivering = delivering;
}

HRESULT DataAcquisitionFilter::OnPause(FILTER_STATE) {
    SetDelivering(false);
    return S_OK;
}

HRESULT DataAcquisitionFilter::OnRun(REFERENCE_TIME) {
    SetDelivering(true);
    return S_OK;
}

HRESULT DataAcquisitionFilter::OnStop() {
    SetDelivering(false);
    return S_OK;
}

}  // namespace devices
