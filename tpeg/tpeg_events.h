// Events of the TPEG library and their delivery to the navigation
// application.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/service_protocol.h"
#include "platform/types.h"

// Sent synchronously to the main window by the event callback; wParam is the
// event code, lParam the event parameter.
inline constexpr platform::UINT WM_TPEG_EVENT = 6325;

// The registered reception-state message (kReceptionStateName: wParam
// kReceptionAvailable or kReceptionNoSignal); registered at process start.
extern std::atomic<platform::UINT> WM_DMBANTLV;

// The navigation application's window (kNavAppTitle) is looked up at every
// delivery.
// The longest a send to the navigation application may take. One that does
// not answer in time counts as hung: later sends to it fail at once until it
// answers again, so a frozen application costs one wait, not one per file.
inline constexpr platform::UINT kNavAppSendLimitMs = 10000;

// The folder the TPEG library writes its data files into.
inline constexpr platform::WCHAR kTpegDataFolder[] = u"\\TPEGDATA";

using TpegEventCode = std::uint32_t;

struct TpegEvent {
    TpegEventCode code;
    const char16_t* logLine;  // null: the event is not logged
    const char16_t* fileName;
    std::uint32_t kind;  // the copy-data record's data kind
};

// Every event that is logged or delivered; other codes are only acknowledged.
inline constexpr TpegEvent kTpegEvents[] = {
    {6124, u"*** [EVT_CTT_TRANSFER] received.", u"TPCTTL3.BIN", 0},
    {6125, u"*** [EVT_SDI_TRANSFER] received.", u"TPSDI.BIN", 11},
    {6126, u"*** [EVT_POI_TRANSFER] received.", u"TPPOI.BIN", 20},
    {6128, u"*** [EVT_NWS_TRANSFER] received.", u"TPNWS.BIN", 24},
    {6129, u"*** [EVT_RTM_TRANSFER] received.", u"TPRTM.BIN", 15},
    {6130, u"*** [EVT_CTTSUM_TRANSFER] received.", u"TPCTTSUM.BIN", 1},
    {6131, nullptr, u"TPCTTL3P.BIN", 2},
    {6133, u"*** [EVT_SDI2_TRANSFER] received.", u"TPSDI2.BIN", 12},
    {6136, u"*** [EVT_POIOPS_TRANSFER] received.", u"TPOIL.BIN", 22},
    {6138, u"*** [EVT_POIOPS2_TRANSFER] received.", u"TPOIL2.BIN", 21},
};

const TpegEvent* FindTpegEvent(TpegEventCode code);

// Room for a delivered path, terminator included.
inline constexpr std::size_t kPathUnits = 260;

// The event callback registered with the TPEG library: hands the event to the
// main window's thread and returns only when it has been delivered and
// acknowledged.
std::intptr_t OnDecoderEvent(std::uintptr_t window, std::uint32_t code, std::uintptr_t parameter);

// The main window's handler of WM_TPEG_EVENT: logs, delivers the file and
// acknowledges the event to the library, whatever became of the delivery.
platform::LRESULT OnTpegEvent(platform::WPARAM code, platform::LPARAM parameter);

// Sends the data file of `code` to the navigation application with the
// copy-data message (kind code, byte count, UTF-16 path).
void DeliverTpegFile(TpegEventCode code);

// Tells the navigation application the reception state (`message` is
// WM_DMBANTLV, `state` kReceptionAvailable or kReceptionNoSignal), synchronously.
void NotifyNavApp(platform::UINT message, platform::WPARAM state);
