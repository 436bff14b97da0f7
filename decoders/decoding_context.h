// What one initialisation of the TPEG library holds: its settings, the TPEG service
// decoder, the files waiting to be written and the event waiting for its
// acknowledgement. The decoding thread holds its own reference, so a thread
// that could not be stopped in time (its callback still blocked) finishes on
// a context the library has already let go.
//
// Selection mask: bit i selects the i-th application of
// broadcast::TpegApplications() (CTT level 3 = bit 0 ... POI-OPS2 = bit 9);
// higher bits mean nothing. POI-OPS and POI-OPS2 are decoded only when the
// POI-OPS flag is set as well. Defaults: every application, flag off.
//
// Which AIDs fill which application, and the least time between two writes of
// one file, come from the registry when the context is made (tpeg_settings.h).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>

#include "broadcast/tpeg_service_decoder.h"
#include "decoders/decoder_counters.h"
#include "decoders/file_dispatcher.h"
#include "decoders/tpeg_queue.h"
#include "platform/types.h"
#include "tpeg/decoder_library.h"

namespace decoders {

class DecodingContext : private broadcast::TpegServiceObserver {
  public:
    static constexpr std::uint32_t kAllApplications = (1u << broadcast::kTpegApplicationCount) - 1;
    // Room for the folder's device path; the folder, a separator and the
    // longest file name must fit the 260 units a delivered path may take.
    static constexpr std::size_t kMaxFolderUnits = 240;

    explicit DecodingContext(std::uintptr_t window);
    ~DecodingContext() override;
    DecodingContext(const DecodingContext&) = delete;
    DecodingContext& operator=(const DecodingContext&) = delete;

    bool Valid() const { return m_ackEvent != nullptr; }

    void SetCallback(TpegEventCallback callback);
    void SetSelection(std::uint32_t mask);
    void SetPoiOps(bool enabled);
    // 0: write failures only; 1 and above: every file written as well.
    void SetLogLevel(int level);
    // Creates the folder (an existing one is fine) and keeps its device path.
    bool SetFolder(const char16_t* folder);
    // NUL terminated, owned by the context; empty until SetFolder succeeded.
    const char16_t* Folder() const { return m_folder; }
    bool HasFolder() const;

    // Runs the decoding loop on the calling thread until stop is set.
    void Run(TpegQueue& queue, platform::HANDLE stop);
    // A new run forgets the event the last one left waiting: its callback has returned.
    void PrepareRun();
    bool Acknowledge(std::uintptr_t parameter, std::uint32_t code);

    TpegCounters Counters();

  private:
    void OnMessages(const broadcast::TpegApplication& app,
                    std::span<const std::uint8_t> file) override;
    // Hands an application's file to the dispatcher; change: it comes from a change of the
    // messages (counted), not from an offer of what is held.
    void Offer(std::size_t app, std::span<const std::uint8_t> file, bool change);
    bool Selected(std::size_t app) const;
    // After a change of the selection, hands what the stores hold to the dispatcher.
    void OfferHeldMessages();
    void Dispatch(platform::HANDLE stop);
    // Platform ms the decoding thread may wait before a file held back by the write
    // interval is due; INFINITE when none is.
    platform::DWORD NextDueIn();
    void PublishDecoderStats(std::size_t bytes);

    const std::uintptr_t m_window;
    platform::HANDLE m_ackEvent = nullptr;
    broadcast::TpegServiceDecoder m_decoder;  // the decoding thread's alone
    platform::HANDLE m_runStop = nullptr;     // the decoding thread's alone
    bool m_loggedRefused = false;             // the decoding thread's alone
    std::array<bool, broadcast::kTpegApplicationCount> m_writeFailing{};  // the same

    mutable std::mutex m_lock;
    TpegEventCallback m_callback = nullptr;
    std::uint32_t m_selection = kAllApplications;
    bool m_poiOps = false;
    bool m_selectionChanged = false;
    int m_logLevel = 0;
    char16_t m_folder[kMaxFolderUnits + 1] = {};
    FileDispatcher m_dispatcher;
    std::uintptr_t m_nextParameter = 1;
    TpegCounters m_counters{};
};

}  // namespace decoders
