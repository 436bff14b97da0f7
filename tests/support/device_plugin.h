// The device plugin as the service meets it: registered into a temporary
// device root and created through CoCreateInstance, with a broadcast folder
// of its own. Tests that stream also get a filter graph with the tuner's
// "DOut" connected to the data filter's "Data In" and a recorder for the
// blocks the data callback receives.
#pragma once

#include <dlfcn.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
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

// Collects what the data callback receives; one recorder at a time.
class BlockRecorder {
  public:
    BlockRecorder() { Current().store(this); }
    ~BlockRecorder() { Current().store(nullptr); }
    BlockRecorder(const BlockRecorder&) = delete;
    BlockRecorder& operator=(const BlockRecorder&) = delete;

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
    void Clear() {
        std::lock_guard lock(m_mutex);
        m_blocks.clear();
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
    DevicePlugin()
        : m_rootEnv("DMBTPEG_ROOT", m_root.Path()),
          m_broadcastEnv("DMBTPEG_BROADCAST", m_broadcast.Path()) {
        platform::CoInitializeEx(nullptr, platform::COINIT_MULTITHREADED);
        void* library = ::dlopen(DEVICES_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
        auto registerServer = library != nullptr
                                  ? reinterpret_cast<platform::DllRegisterServerFunction>(
                                        ::dlsym(library, "DllRegisterServer"))
                                  : nullptr;
        m_registered = registerServer != nullptr && registerServer() == platform::S_OK;
    }
    ~DevicePlugin() { platform::CoUninitialize(); }
    DevicePlugin(const DevicePlugin&) = delete;
    DevicePlugin& operator=(const DevicePlugin&) = delete;

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
    ScopedEnv m_rootEnv;
    ScopedEnv m_broadcastEnv;
    bool m_registered = false;
};

// Issues a tuner command; the record is returned with the answer in it.
inline platform::HRESULT TunerCommand(ITdmbTunerControl& tuner, std::int32_t command,
                                      TunerParam& record) {
    return tuner.GetParam(command, &record);
}

// Tuner and data filter in a graph, connected, the recorder's callback set.
class ReceiverGraph {
  public:
    explicit ReceiverGraph(const DevicePlugin& plugin) {
        m_graph = plugin.Create<platform::IGraphBuilder>(platform::CLSID_FilterGraph);
        m_tunerFilter = plugin.Create<platform::IBaseFilter>(CLSID_TdmbTuner);
        m_dataFilter = plugin.Create<platform::IBaseFilter>(CLSID_DataAcquisition);
        if (!m_graph || !m_tunerFilter || !m_dataFilter) {
            return;
        }
        m_graph->AddFilter(m_tunerFilter.Get(), u"TCC TDMBTune");
        m_graph->AddFilter(m_dataFilter.Get(), u"TCCDataAcquisitionFilter");
        platform::ComPtr<platform::IPin> out;
        platform::ComPtr<platform::IPin> in;
        m_tunerFilter->FindPin(u"DOut", out.GetAddressOf());
        m_dataFilter->FindPin(u"Data In", in.GetAddressOf());
        m_tunerFilter.As(&m_tuner);
        platform::ComPtr<IDataAcquisition> acquisition;
        m_dataFilter.As(&acquisition);
        m_graph.As(&m_control);
        if (out && in && m_tuner && acquisition && m_control) {
            acquisition->SetDataCallback(&BlockRecorder::Callback, nullptr);
            m_ready = m_graph->ConnectDirect(out.Get(), in.Get(), nullptr) == platform::S_OK;
        }
    }
    ~ReceiverGraph() {
        if (m_control) {
            m_control->Stop();
        }
    }
    ReceiverGraph(const ReceiverGraph&) = delete;
    ReceiverGraph& operator=(const ReceiverGraph&) = delete;

    bool Ready() const { return m_ready; }
    ITdmbTunerControl& Tuner() const { return *m_tuner.Get(); }
    platform::IMediaControl& Control() const { return *m_control.Get(); }

  private:
    platform::ComPtr<platform::IGraphBuilder> m_graph;
    platform::ComPtr<platform::IBaseFilter> m_tunerFilter;
    platform::ComPtr<platform::IBaseFilter> m_dataFilter;
    platform::ComPtr<ITdmbTunerControl> m_tuner;
    platform::ComPtr<platform::IMediaControl> m_control;
    bool m_ready = false;
};

}  // namespace testsupport
