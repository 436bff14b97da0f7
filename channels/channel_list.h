// The channel list and its scan file TDMBScan.dat.
//
// The list is used by one thread at a time (the main window's, or the scan
// thread while a scan runs) and has no lock of its own.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "channels/channel_info.h"

struct Region {
    const char* szName;
    std::int32_t dwCountry;
    std::int32_t dwBand;
};

// The receiving regions the tuner knows.
inline constexpr std::array<Region, 3> RegionTable{{
    {"KOREA", 82, 0},
    {"CHINA(L-BAND)", 86, 0},
    {"CHINA(BAND-III)", 86, 1},
}};

inline constexpr std::int32_t kScanFileVersion = 1004;
inline constexpr std::int32_t kCountryKorea = 82;

// The scan file's locations, tried in this order for reading and for writing.
inline constexpr std::u16string_view kScanFileOnCard = u"\\SDMMC Disk\\SysData\\TDMBScan.dat";
inline constexpr std::u16string_view kScanFileInFlash = u"\\Nand\\TDMBScan.dat";

class CChannelList {
  public:
    CChannelList() = default;
    virtual ~CChannelList() = default;
    CChannelList(const CChannelList&) = delete;
    CChannelList& operator=(const CChannelList&) = delete;

    // Reads the scan file into the list. No file at either location leaves
    // the list and the header as they were; a wrong version shows a message
    // box and leaves the list empty. True when a scan file was read.
    bool Load();
    // Writes the list to the scan file, replacing it atomically, and sets
    // mdwChannelCount to the number of entries. Nothing is written when
    // neither location is writable.
    void Save();
    void Clear();
    // Adds a copy of `entry`; mdwChannelCount is not touched.
    void Append(const ChannelInfo& entry);

    // Circular search for the TPEG service from mdwType2Index: a preferred
    // identifier ends it, of the fallback ones the last met wins. Copies the
    // choice into `out` and returns true when there is one.
    bool GetChannelInfo(ChannelInfo& out);

    std::size_t Size() const { return mEntries.size(); }
    const ChannelInfo& At(std::size_t index) const { return *mEntries[index]; }

    // The scan file's text for this list, as Save writes it.
    std::string Serialize() const;
    // Parses scan file text into the list, with Load's rules. Returns false
    // (and shows the message box) when the version is wrong.
    bool Parse(std::string_view text);

    std::vector<std::unique_ptr<ChannelInfo>> mEntries;
    std::int32_t mdwVersion = kScanFileVersion;
    std::int32_t mdwCountry = kCountryKorea;
    std::int32_t mdwBand = 0;
    std::uint32_t mdwChannelCount = 0;
    std::int32_t mdwType1Index = 0;
    std::int32_t mdwType2Index = 0;
    std::int32_t mnSearchStep = 0;
};

// The TPEG service identifiers: a preferred one ends the search at once.
inline constexpr std::uint32_t kPreferredTpegServices[] = {0xF1E00448, 0xF1E00248};
inline constexpr std::uint32_t kFallbackTpegServices[] = {0xF1E00445, 0xF1E00245};
