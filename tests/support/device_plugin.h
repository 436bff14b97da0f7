// The device plugin as the service meets it: registered into a temporary
// device root, created through CoCreateInstance, with a broadcast folder of
// its own; a graph with "DOut" connected to "Data In"; a recorder of what the
// data callback receives.
#pragma once

#include <dlfcn.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "graph/device_interfaces.h"
#include "platform/com.h"
#include "platform/com_ptr.h"
#include "platform/dshow.h"
#include "tests/support/temp_dir.h"

namespace testsupport {

struct ReceivedBlock {
    std::vector<std::uint8_t> bytes;
    std::uintptr_t subChannelId = 0;
    std::uintptr_t frameCounter = 0;
};

// One recorder at a time: the callback has no context argument.
class BlockRecorder {
  public:
    BlockRecorder() { Current().store(this); }
    ~BlockRecorder() { Current().store(nullptr); }

    static std::intptr_t Callback(std::uintptr_t a, std::uintptr_t b, std::uintptr_t c,
                                  std::uintptr_t d) {
        if (BlockRecorder* recorder = Current().load()) {
            const auto* data = reinterpret_cast<const std::uint8_t*>(a);
            std::lock_guard lock(recorder->m_mutex);
            recorder->m_blocks.push_back({std::vector<std::uint8_t>(data, data + b), c, d});
        }
        return 0;
    }
    std::vector<ReceivedBlock> Blocks() const {
        std::lock_guard lock(m_mutex);
        return m_blocks;
    }
    std::size_t Count() const {
        std::lock_guard lock(m_mutex);
        return m_blocks.size();
    }

  private:
    static std::atomic<BlockRecorder*>& Current() {
        static std::atomic<BlockRecorder*> current{nullptr};
        return current;
    }

    mutable std::mutex m_mutex;
    std::vector<ReceivedBlock> m_blocks;
};

class DevicePlugin {
  public:
    DevicePlugin() {
        platform::CoInitializeEx(nullptr, platform::COINIT_MULTITHREADED);
        void* library = ::dlopen(DEVICES_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
        auto registerServer = reinterpret_cast<platform::DllRegisterServerFunction>(
            library != nullptr ? ::dlsym(library, "DllRegisterServer") : nullptr);
        m_registered = registerServer != nullptr && registerServer() == platform::S_OK;
    }
    ~DevicePlugin() { platform::CoUninitialize(); }

    bool Registered() const { return m_registered; }
    const TempDir& Broadcast() const { return m_broadcast; }
    const TempDir& Root() const { return m_root; }

    template <typename Interface>
    platform::ComPtr<Interface> Create(const platform::CLSID& clsid) const {
        platform::ComPtr<Interface> object;
        platform::CoCreateInstance(clsid, nullptr, platform::CLSCTX_INPROC_SERVER,
                                   platform::IidOf<Interface>(),
                                   reinterpret_cast<void**>(object.GetAddressOf()));
        return object;
    }

  private:
    TempDir m_root;
    TempDir m_broadcast;
    ScopedEnv m_rootEnv{"DMBTPEG_ROOT", m_root.Path()};
    ScopedEnv m_broadcastEnv{"DMBTPEG_BROADCAST", m_broadcast.Path()};
    bool m_registered = false;
};

class ReceiverGraph {
  public:
    explicit ReceiverGraph(const DevicePlugin& plugin)
        : m_graph(plugin.Create<platform::IGraphBuilder>(platform::CLSID_FilterGraph)),
          m_tunerFilter(plugin.Create<platform::IBaseFilter>(CLSID_TdmbTuner)),
          m_dataFilter(plugin.Create<platform::IBaseFilter>(CLSID_DataAcquisition)) {
        platform::ComPtr<platform::IPin> out;
        platform::ComPtr<platform::IPin> in;
        platform::ComPtr<IDataAcquisition> acquisition;
        if (!m_graph || !m_tunerFilter || !m_dataFilter ||
            m_tunerFilter.As(&m_tuner) != platform::S_OK ||
            m_dataFilter.As(&acquisition) != platform::S_OK ||
            m_graph.As(&m_control) != platform::S_OK) {
            return;
        }
        m_graph->AddFilter(m_tunerFilter.Get(), u"TCC TDMBTune");
        m_graph->AddFilter(m_dataFilter.Get(), u"TCCDataAcquisitionFilter");
        m_tunerFilter->FindPin(u"DOut", out.GetAddressOf());
        m_dataFilter->FindPin(u"Data In", in.GetAddressOf());
        acquisition->SetDataCallback(&BlockRecorder::Callback, nullptr);
        m_ready = out && in && m_graph->Connect(out.Get(), in.Get()) == platform::S_OK;
    }
    ~ReceiverGraph() {
        if (m_control) {
            m_control->Stop();
        }
    }

    bool Ready() const { return m_ready; }
    ITdmbTunerControl& Tuner() const { return *m_tuner.Get(); }
    platform::IMediaControl& Control() const { return *m_control.Get(); }

    // As the service tunes: the service id sign-extended into the word.
    void Tune(std::int32_t frequency, std::uint32_t sid, std::int32_t subChannel) const {
        TunerParam record{};
        record.word[1] = frequency;
        m_tuner->SetParam(kTunerSetFrequency, &record, 0);
        record.word[1] = static_cast<std::int32_t>(sid);
        record.word[2] = subChannel;
        m_tuner->SetParam(kTunerSetService, &record, 0);
    }

    // Word 1 (present) and the buffer's two counts (received, lost).
    std::array<std::uint32_t, 3> Signal() const {
        std::array<std::uint32_t, 2> counts{};
        TunerParam record{};
        record.word[3] = reinterpret_cast<std::intptr_t>(counts.data());
        m_tuner->GetParam(kTunerGetSignal, &record);
        return {static_cast<std::uint32_t>(record.word[1]), counts[0], counts[1]};
    }

  private:
    platform::ComPtr<platform::IGraphBuilder> m_graph;
    platform::ComPtr<platform::IBaseFilter> m_tunerFilter;
    platform::ComPtr<platform::IBaseFilter> m_dataFilter;
    platform::ComPtr<ITdmbTunerControl> m_tuner;
    platform::ComPtr<platform::IMediaControl> m_control;
    bool m_ready = false;
};

}  // namespace testsupport
