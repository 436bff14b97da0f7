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

namespace broadcast {

// Receives what the service decoder finds; the defaults ignore everything.
class TpegServiceObserver {
  public:
    virtual ~TpegServiceObserver() = default;
    // The SNI of any service in the stream, decoded or not.
    virtual void OnServiceInformation(ServiceId /*sid*/, const SniTable& /*sni*/) {}
    // A complete data set of one application; changed is false for a repetition of the last one.
    virtual void OnDataSet(const TpegApplication& /*app*/, std::uint8_t /*version*/,
                           std::span<const std::uint8_t> /*content*/, bool /*changed*/) {}
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
    std::size_t oversizedSets = 0;           // sets refused for exceeding an application's bound
    std::size_t refusedMessages = 0;         // messages of refused sets, or finding no room
    std::size_t evictedSets = 0;             // partial sets dropped to make room for others
    std::size_t heldContentBytes = 0;        // content held now, charged to the budget
};

// TPEG stream -> applications' data sets: finds transport frames in arbitrary chunks, maps the
// component frames of one service to applications through that service's own SNI and assembles
// each application's data set. Corrupt frames are counted and skipped.
//
// Which service: of the services whose SNI has arrived and maps at least one of the ten
// applications, the first the latest stream directory lists; without a directory, or when it
// lists none of them, the first whose SNI arrived. Components of other services are
// counted and not decoded, so one service's applications never overwrite another's. When the
// choice changes, the sets collected so far are dropped.
//
// The content held is bounded by a ContentBudget: an account per application. A set that does
// not fit its application's account is refused; when the budget as a whole is full, the last
// complete sets of the other applications go first, then their partial sets, oldest first.
class TpegServiceDecoder {
  public:
    static constexpr std::size_t kMaxServices = 16;

    explicit TpegServiceDecoder(std::size_t perApplication = ContentBudget::kDefaultPerAccount,
                                std::size_t total = ContentBudget::kDefaultTotal);

    void Push(std::span<const std::uint8_t> bytes, TpegServiceObserver& observer);
    TpegDecodeStats Stats() const;
    std::optional<ServiceId> DecodedService() const { return m_decoded; }

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
    DataSetStatus PushWithRoom(std::size_t app, const DataSetMessage& message);
    const Service* FindService(ServiceId sid) const;
    void ChooseService();

    TransportFrameFinder m_finder;
    std::vector<Service> m_services;  // in the order their SNI first arrived
    std::optional<std::vector<ServiceId>> m_directory;
    std::optional<ServiceId> m_decoded;
    ContentBudget m_budget;               // before the sets: they hold accounts of it
    std::deque<DataSetAssembler> m_sets;  // one per application, in table order
    std::uint64_t m_messages = 0;
    TpegDecodeStats m_stats;
};

}  // namespace broadcast
