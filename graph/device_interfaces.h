// The device's tuner and data-acquisition filters as the service uses them:
// class identifiers, graph and pin names, private interfaces, the tuner's
// commands and its parameter record. The device plugin implements exactly
// this header.
#pragma once

#include <cstdint>

#include "platform/com.h"

// Added to the graph under these names.
inline constexpr char kTunerFilterName[] = "TCC TDMBTune";
inline constexpr char kDataFilterName[] = "TCCDataAcquisitionFilter";
inline constexpr char kTunerOutputPin[] = "DOut";
inline constexpr char kDataInputPin[] = "Data In";

// {9BE304DD-E6E0-4577-A203-A07F298D11B2}
inline constexpr platform::CLSID CLSID_TdmbTuner = {
    0x9BE304DD, 0xE6E0, 0x4577, {0xA2, 0x03, 0xA0, 0x7F, 0x29, 0x8D, 0x11, 0xB2}};
// {8F7581B2-96C9-4E14-9302-337655DEAB44}
inline constexpr platform::CLSID CLSID_DataAcquisition = {
    0x8F7581B2, 0x96C9, 0x4E14, {0x93, 0x02, 0x33, 0x76, 0x55, 0xDE, 0xAB, 0x44}};
// {BEA39A5D-A95E-4FC0-8789-1AC03CA8EC54}
inline constexpr platform::IID IID_ITdmbTunerControl = {
    0xBEA39A5D, 0xA95E, 0x4FC0, {0x87, 0x89, 0x1A, 0xC0, 0x3C, 0xA8, 0xEC, 0x54}};
// {4E3444A9-BEB4-47BA-BD64-3457684DFA16}
inline constexpr platform::IID IID_IDataAcquisition = {
    0x4E3444A9, 0xBEB4, 0x47BA, {0xBD, 0x64, 0x34, 0x57, 0x68, 0x4D, 0xFA, 0x16}};

// The tuner parameter record: four words, word 0 always 0. Words are pointer
// sized because commands 7 and 8 carry a buffer address in word 3; the values
// themselves are signed 32-bit numbers. Valid during the call only.
struct TunerParam {
    std::intptr_t word[4];
};

enum TunerCommand : std::int32_t {
    kTunerSetRegion = 0,     // set: word 1 country code (82, 86), word 2 band index
    kTunerSetFrequency = 1,  // set: word 1 frequency
    kTunerGetFrequency = 2,  // get: word 1 the tuned frequency
    kTunerSetService = 3,    // set: word 1 service id, word 2 sub-channel
    kTunerGetService = 4,    // get: word 1 service id, word 2 sub-channel
    kTunerGetScanSteps = 5,  // get: word 1 scan value, word 2 number of scan steps
    kTunerScan = 7,          // get: word 1 phase (below), word 2 step, word 3 entry buffer
    kTunerGetSignal =
        8,  // get: word 1 signal present if not 0, word 2 status, word 3 8-byte buffer
};

// Word 1 of kTunerScan; after a step, word 1 holds the number of services found.
enum TunerScanPhase : std::int32_t {
    kScanBegin = 0,
    kScanStep = 1,
    kScanEnd = 2,
};

// A scan step writes at most this many 44-byte entries into the buffer.
inline constexpr int kScanEntriesPerStep = 10;

struct ITdmbTunerControl : platform::IUnknown {
    static constexpr const platform::IID& kIid = IID_ITdmbTunerControl;
    using InterfaceBase = platform::IUnknown;

    virtual platform::HRESULT GetParam(std::int32_t command, TunerParam* record) = 0;
    virtual platform::HRESULT SetParam(std::int32_t command, TunerParam* record,
                                       std::int32_t reserved) = 0;

  protected:
    ~ITdmbTunerControl() = default;
};

// Called on the streaming thread with every block of MSC data. The four
// arguments: address of the block, its length in bytes, the sub-channel word
// and a frame counter. The sub-channel word holds the sub-channel id in bits
// 0-5 and, when bit 31 is set, what the FIC says about the tuned service's
// TPEG component: packet address (bits 8-17), DG flag (bit 18, 1 = no MSC data
// groups), FEC scheme (bits 19-20), DSCTy (bits 21-26); see
// broadcast/msc_data_path.h. The block is valid during the call only.
using MscDataCallback = std::intptr_t (*)(std::uintptr_t a, std::uintptr_t b, std::uintptr_t c,
                                          std::uintptr_t d);

struct IDataAcquisition : platform::IUnknown {
    static constexpr const platform::IID& kIid = IID_IDataAcquisition;
    using InterfaceBase = platform::IUnknown;

    virtual platform::HRESULT SetDataCallback(MscDataCallback callback, void* context) = 0;

  protected:
    ~IDataAcquisition() = default;
};
