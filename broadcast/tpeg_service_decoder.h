#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <vector>

#include "broadcast/content_budget.h"
#include "broadcast/sni.h"
#include "broadcast/tpeg_application.h"
#include "broadcast/tpeg_frame.h"
#include "broadcast/tpeg_frame_finder.h"
#include "broadcast/tpeg_message_store.h"

namespace broadcast {

// Receives what the service decoder finds; the defaults ignore everything.
class TpegServiceObserver {
  public:
    virtual ~TpegServiceObserver() = default;
    // The SNI of any service in the stream, decoded or not.
    virtual void OnServiceInformation(ServiceId /*sid*/, const SniTable& /*sni*/) {}
    // The current TPEG2 messages of one application changed (added, replaced, cancelled or
    // expired): file is the application's data file in the message layout
    // (tpeg_message_store.h). Not called for repetitions.
    virtual void OnMessages(const TpegApplication& /*app*/,
                            std::span<const std::uint8_t> /*file*/) {}
};

struct TpegDecodeStats {
    std::size_t transportFrames = 0;
    std::size_t streamDirectories = 0;
    std::size_t unknownFrameTypes = 0;
    std::size_t componentFrames = 0;
    std::size_t badComponentFrames = 0;  // header or data CRC, truncation
    std::size_t unknownScids = 0;        // components arriving before their service's SNI maps them
    std::size_t foreignAids = 0;         // AIDs that are not one of the service's applications
    std::size_t badMessages = 0;
    std::size_t skippedBytes = 0;
    std::size_t badHeaders = 0;
    std::size_t badFrames = 0;
    std::size_t encryptedFrames = 0;         // service frames not sent in the clear, skipped
    std::size_t otherServiceComponents = 0;  // components of services not decoded
    std::size_t refusedServices = 0;         // SNIs of services beyond kMaxServices
    std::size_t refusedMessages = 0;         // messages finding no room in the bound
    std::size_t heldContentBytes = 0;        // content held now, charged to the budget
    std::size_t messageChanges = 0;          // messages added, replaced or removed
};

// TPEG stream -> the current messages of each application: finds transport frames in arbitrary
// chunks, maps the component frames of one service to applications through that service's own
// SNI (SCID to AID) and the decoder's ApplicationAids (AID to application), splits them into
// TPEG2 messages (tpeg_message.h) and applies those to the application's message store, judged
// against the time given with the bytes. Every change of a store reaches the observer as the
// application's new data file. Corrupt frames are counted and skipped.
//
// Which service: of the services whose SNI has arrived and maps at least one of the ten
// applications, the first the latest stream directory lists; without a directory, or when it
// lists none of them, the first whose SNI arrived. Components of other services are
// counted and not decoded, so one service's applications never overwrite another's. When the
// choice changes, the messages held so far are dropped.
//
// The content held is bounded by a ContentBudget, an account per application. Messages that do
// not fit are refused: every message held is current content of a file, so none is dropped for
// another.
class TpegServiceDecoder {
  public:
    static constexpr std::size_t kMaxServices = 16;

    explicit TpegServiceDecoder(std::size_t perApplication = ContentBudget::kDefaultPerAccount,
                                std::size_t total = ContentBudget::kDefaultTotal);
    explicit TpegServiceDecoder(ApplicationAids aids,
                                std::size_t perApplication = ContentBudget::kDefaultPerAccount,
                                std::size_t total = ContentBudget::kDefaultTotal);

    // now: seconds since 1970-01-01 UTC, against which messages' expiry times are judged.
    void Push(std::span<const std::uint8_t> bytes, TpegServiceObserver& observer, std::int64_t now);
    TpegDecodeStats Stats() const;
    std::optional<ServiceId> DecodedService() const { return m_decoded; }
    // The current messages of the app-th application and its data file.
    std::size_t MessageCount(std::size_t app) const { return m_stores[app].Count(); }
    std::vector<std::uint8_t> File(std::size_t app) const { return m_stores[app].File(); }

  private:
    struct Service {
        ServiceId sid;
        SniTable sni;
        bool carriesApplications = false;  // its SNI maps one of the ten applications
    };

    void HandleServiceFrame(std::span<const std::uint8_t> serviceFrame,
                            TpegServiceObserver& observer);
    void HandleSni(ServiceId sid, const ComponentFrameView& frame, TpegServiceObserver& observer);
    void HandleComponent(const Service& service, const ComponentFrameView& frame,
                         TpegServiceObserver& observer);
    void ApplyMessages(const TpegApplication& app, std::uint16_t aid,
                       std::span<const std::uint8_t> data, TpegServiceObserver& observer);
    void ExpireMessages(TpegServiceObserver& observer);
    const Service* FindService(ServiceId sid) const;
    void ChooseService();

    const ApplicationAids m_aids;
    TransportFrameFinder m_finder;
    std::vector<Service> m_services;  // in the order their SNI first arrived
    std::optional<std::vector<ServiceId>> m_directory;
    std::optional<ServiceId> m_decoded;
    ContentBudget m_budget;                 // before the stores: they hold accounts of it
    std::deque<TpegMessageStore> m_stores;  // one per application, in table order
    std::int64_t m_now = 0;                 // of the bytes being pushed
    TpegDecodeStats m_stats;
};

}  // namespace broadcast
