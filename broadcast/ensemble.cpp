#include "broadcast/ensemble.h"

#include <array>

namespace broadcast {
namespace {

struct UepEntry {
    std::uint16_t sizeCu;
    std::uint8_t level;
    std::uint16_t bitrate;
};

// Sub-channel sizes, protection levels and bitrates of the 64 UEP table indexes.
constexpr std::array<UepEntry, 64> kUepTable{{
    {16, 5, 32},   {21, 4, 32},   {24, 3, 32},   {29, 2, 32},   {35, 1, 32},   {24, 5, 48},
    {29, 4, 48},   {35, 3, 48},   {42, 2, 48},   {52, 1, 48},   {29, 5, 56},   {35, 4, 56},
    {42, 3, 56},   {52, 2, 56},   {32, 5, 64},   {42, 4, 64},   {48, 3, 64},   {58, 2, 64},
    {70, 1, 64},   {40, 5, 80},   {52, 4, 80},   {58, 3, 80},   {70, 2, 80},   {84, 1, 80},
    {48, 5, 96},   {58, 4, 96},   {70, 3, 96},   {84, 2, 96},   {104, 1, 96},  {58, 5, 112},
    {70, 4, 112},  {84, 3, 112},  {104, 2, 112}, {64, 5, 128},  {84, 4, 128},  {96, 3, 128},
    {116, 2, 128}, {140, 1, 128}, {80, 5, 160},  {104, 4, 160}, {116, 3, 160}, {140, 2, 160},
    {168, 1, 160}, {96, 5, 192},  {116, 4, 192}, {140, 3, 192}, {168, 2, 192}, {208, 1, 192},
    {116, 5, 224}, {140, 4, 224}, {168, 3, 224}, {208, 2, 224}, {232, 1, 224}, {128, 5, 256},
    {168, 4, 256}, {192, 3, 256}, {232, 2, 256}, {280, 1, 256}, {160, 5, 320}, {208, 4, 320},
    {280, 2, 320}, {192, 5, 384}, {280, 3, 384}, {416, 1, 384},
}};

// CUs per 8 kbit/s (EEP-A) or per 32 kbit/s (EEP-B), by protection level 1..4.
constexpr std::array<std::uint16_t, 4> kEepACuPer8k{12, 8, 6, 4};
constexpr std::array<std::uint16_t, 4> kEepBCuPer32k{27, 21, 18, 15};

}  // namespace

SubChannel UepSubChannel(std::uint8_t id, std::uint16_t startAddress, std::uint8_t tableIndex) {
    SubChannel sc;
    sc.id = id;
    sc.startAddress = startAddress;
    sc.shortForm = true;
    sc.tableIndex = tableIndex;
    CompleteSubChannel(sc);
    return sc;
}

SubChannel EepSubChannel(std::uint8_t id, std::uint16_t startAddress, std::uint16_t bitrate,
                         std::uint8_t protectionLevel, std::uint8_t option) {
    SubChannel sc;
    sc.id = id;
    sc.startAddress = startAddress;
    sc.option = option;
    sc.protectionLevel = protectionLevel;
    const std::size_t level = (protectionLevel - 1u) & 3u;
    sc.sizeCu = static_cast<std::uint16_t>(option == 0 ? bitrate / 8 * kEepACuPer8k[level]
                                                       : bitrate / 32 * kEepBCuPer32k[level]);
    CompleteSubChannel(sc);
    return sc;
}

bool CompleteSubChannel(SubChannel& sc) {
    if (sc.shortForm) {
        if (sc.tableIndex >= kUepTable.size()) {
            return false;
        }
        const UepEntry& entry = kUepTable[sc.tableIndex];
        sc.sizeCu = entry.sizeCu;
        sc.protectionLevel = entry.level;
        sc.bitrate = entry.bitrate;
        return true;
    }
    if (sc.protectionLevel < 1 || sc.protectionLevel > 4 || sc.option > 1) {
        return false;
    }
    const std::size_t level = sc.protectionLevel - 1u;
    if (sc.option == 0) {
        sc.bitrate = static_cast<std::uint16_t>(sc.sizeCu / kEepACuPer8k[level] * 8);
    } else {
        sc.bitrate = static_cast<std::uint16_t>(sc.sizeCu / kEepBCuPer32k[level] * 32);
    }
    return true;
}

const SubChannel* EnsembleDescription::FindSubChannel(std::uint8_t id) const {
    for (const SubChannel& sc : subChannels) {
        if (sc.id == id) {
            return &sc;
        }
    }
    return nullptr;
}

const Service* EnsembleDescription::FindService(std::uint32_t sid) const {
    for (const Service& service : services) {
        if (service.sid == sid && service.scids == 0) {
            return &service;
        }
    }
    return nullptr;
}

const Service* EnsembleDescription::FindComponent(std::uint32_t sid,
                                                  std::uint8_t subChannelId) const {
    for (const Service& service : services) {
        if (service.sid == sid && service.subChannelId == subChannelId) {
            return &service;
        }
    }
    return FindService(sid);
}

}  // namespace broadcast
