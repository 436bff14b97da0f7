// The window-message protocol between the service and the programs that talk
// to it: the titles its peers are found by, the message numbers and
// registered message names, and the wParam values they carry. The service
// (app/, tpeg/) speaks it, and so do dmbtpeg-navmon and dmbtpeg-window,
// standing in for the navigation application and watching the traffic.
//
// It is the service's protocol, not the platform's, yet it lives here: the
// platform is the one layer that the service's folders and the tools may both
// include (the tools must not reach into the service, and the service depends
// on nothing but the platform), and the platform already knows these names
// itself, since it puts them first in every table of registered messages.
// Header-only, so that nothing links against it.
#pragma once

#include <string_view>

#include "platform/types.h"

// The service's main window, which the navigation application sends its
// requests to.
inline constexpr platform::WCHAR kMainWindowTitle[] = u"DmbTpeg";
// The navigation application's top-level window, which receives the TPEG data
// files (WM_COPYDATA: the file's kind code, its UTF-16 device path) and the
// reception state.
inline constexpr platform::WCHAR kNavAppTitle[] = u"Rovan";

// Requests of the navigation application to the service, told apart by
// wParam; sent, and answered only when handled.
inline constexpr platform::UINT WM_NAVAPP_REQUEST = 8590;
inline constexpr platform::WPARAM kNavAppEnd = 10;
inline constexpr platform::WPARAM kNavAppStatus = 11;

// The reception state the service sends to the navigation application (the
// registered message kReceptionStateName): TPEG reception available or
// signal present, or no signal.
inline constexpr platform::WCHAR kReceptionStateName[] = u"WM_DMBANTLV";
inline constexpr platform::WPARAM kReceptionAvailable = 1;
inline constexpr platform::WPARAM kReceptionNoSignal = 0;

// Broadcast by the service when it has given the tuner up (or ends).
inline constexpr platform::WCHAR kSuspendAckName[] = u"TC_SUSPEND_ACK";

// The T-DMB player's own notifications, which reach the service as well.
inline constexpr platform::WCHAR kPlayerResetChannelName[] = u"TCC_TDMB_RESET_CHANNEL_MSG";
inline constexpr platform::WCHAR kPlayerAudioChangeName[] = u"TCC_TDMB_AUDIOCHANGE_MSG";
inline constexpr platform::WCHAR kPlayerReconfigName[] = u"TCC_TDMB_RECONFIG_MSG";

// The service's own request to scan the channels (wParam kScanStart or
// kScanAbort).
inline constexpr platform::WCHAR kScanRequestName[] = u"DMBTPEG_CHANNEL_SCAN";
inline constexpr platform::WPARAM kScanStart = 1;
inline constexpr platform::WPARAM kScanAbort = 0;

// Every registered message name of the protocol.
inline constexpr std::u16string_view kProtocolMessageNames[] = {
    kReceptionStateName,    kSuspendAckName,     kPlayerResetChannelName,
    kPlayerAudioChangeName, kPlayerReconfigName, kScanRequestName};
