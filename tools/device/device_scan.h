// A channel scan through the registered device's tuner, saved as the
// service's scan file, so that a fresh device starts with its channel list.
#pragma once

#include <string>

namespace devicetool {

// Scans the Korean band III table through the registered tuner (the virtual
// one plays the broadcast folder DMBTPEG_BROADCAST names, the SDR one its
// source) and writes TDMBScan.dat into the device root (on the card
// when it is there, else in flash). Returns the number of services saved, or
// -1 with `error` set.
int ScanToScanFile(std::string& error);

}  // namespace devicetool
