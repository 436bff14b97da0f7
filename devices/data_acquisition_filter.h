// The data-acquisition filter: input pin "Data In", IDataAcquisition. Every
// block the tuner hands to its pin while the filter runs reaches the
// registered callback on the tuner's streaming thread, as
// callback(address, byte count, sub-channel word, frame counter), the word as
// the tuner made it (broadcast/msc_data_path.h). Once Pause or
// Stop has returned, no call is in progress and none follows until Run.
#pragma once

#include <mutex>

#include "devices/msc_block_sink.h"
#include "graph/device_interfaces.h"
#include "platform/filter_base.h"

namespace devices {

class DataAcquisitionFilter final : public platform::FilterBase, public IDataAcquisition {
  public:
    DataAcquisitionFilter();

    platform::HRESULT QueryInterface(platform::REFIID iid, void** object) override;
    platform::ULONG AddRef() override;
    platform::ULONG Release() override;

    platform::HRESULT SetDataCallback(MscDataCallback callback, void* context) override;

    platform::HRESULT DeliverBlock(const std::uint8_t* data, std::size_t size,
                                   std::uintptr_t mscWord, std::uint32_t frameCounter);

  protected:
    void* FindInterface(platform::REFIID iid) override;
    platform::HRESULT OnPause(platform::FILTER_STATE from) override;
    platform::HRESULT OnRun(platform::REFERENCE_TIME start) override;
    platform::HRESULT OnStop() override;

  private:
    void SetDelivering(bool delivering);

    std::mutex m_callbackLock;
    MscDataCallback m_callback = nullptr;
    void* m_context = nullptr;
    // Held for the whole of a callback, so that a stop waits for it; recursive
    // because a callback may itself stop the graph.
    std::recursive_mutex m_deliveryLock;
    bool m_delivering = false;
};

}  // namespace devices
