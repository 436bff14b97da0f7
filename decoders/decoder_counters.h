// Counters of the two decoder libraries, for tests, benchmarks and diagnosis.
// Each library exports one function filling its structure; the counts start at
// zero at InitTDC / InitTpegLibrary and only grow until the next one.
#pragma once

#include <cstdint>

extern "C" {

struct TdcCounters {
    std::uint64_t blocks;            // FillMSCData calls that were decoded
    std::uint64_t ignoredBlocks;     // calls before InitTDC, while not started, or unusable
    std::uint64_t bytes;             // bytes of the decoded blocks
    std::uint64_t packets;           // packets whose CRC held
    std::uint64_t packetCrcErrors;   // damaged packets (one per damaged run of the block)
    std::uint64_t skippedBytes;      // bytes stepped over while looking for the next good packet
    std::uint64_t continuityBreaks;  // packet continuity gaps on the followed address
    std::uint64_t fecTables;         // application data tables released by packet FEC
    std::uint64_t fecCorrectedBytes;
    std::uint64_t fecUncorrectable;    // tables with rows beyond repair
    std::uint64_t dataGroups;          // data groups whose CRC held, queued or not
    std::uint64_t dataGroupErrors;     // complete data groups with a bad CRC or header
    std::uint64_t dataGroupsLost;      // partial data groups abandoned (gap, overflow, oversize)
    std::uint64_t queuedBytes;         // TPEG stream bytes put into the queue
    std::uint64_t queueDrops;          // data groups dropped because the queue was full
    std::uint64_t addressChanges;      // times a packet address was taken up
    std::uint32_t followedAddress;     // the address followed now, 0 when none
    std::uint64_t repeatedDataGroups;  // repeated copies of data groups already taken
    std::uint64_t commandPackets;      // command packets of the followed address
    std::uint64_t segmentsDropped;     // segments of series that could not be completed
    std::uint64_t timeBlocks;  // time blocks taken, not in blocks (bad ones count as ignored)
};

struct TpegCounters {
    std::uint64_t bytes;               // TPEG stream bytes read from the queue
    std::uint64_t frames;              // transport frames found
    std::uint64_t frameHeaderErrors;   // sync words whose header CRC failed
    std::uint64_t frameContentErrors;  // frames whose header held but content did not
    std::uint64_t skippedBytes;        // stream bytes that belonged to no frame
    std::uint64_t componentFrames;
    std::uint64_t componentErrors;    // component frames with a bad header, data CRC or length
    std::uint64_t contentChanges;     // changes of an application's messages, to be written
    std::uint64_t unselectedChanges;  // the same, of applications not selected
    std::uint64_t supersededChanges;  // content replaced by newer before it was written
    std::uint64_t filesWritten;
    std::uint64_t writeFailures;
    std::uint64_t events;            // event callbacks made
    std::uint64_t acknowledgements;  // TTBEventComplete calls that matched the waiting event

    // Frames not decoded, and the bound on application content held.
    std::uint64_t encryptedFrames;         // service frames not sent in the clear, skipped
    std::uint64_t otherServiceComponents;  // components of services in the stream not decoded
    std::uint64_t messageChanges;          // messages added, replaced, cancelled or expired
    std::uint64_t badMessages;             // messages or SNIs that could not be read
    std::uint64_t refusedMessages;         // messages finding no room in the bound
    std::uint64_t heldContentBytes;        // content held now (at most the total bound)
};

// Both return 0 and fill *counters, or -1 when counters is null.
std::int32_t GetTDCCounters(TdcCounters* counters);
std::int32_t GetTpegCounters(TpegCounters* counters);

}  // extern "C"
