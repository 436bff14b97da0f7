// The two decoder libraries as the service calls them: the TDC library
// (libTdcdec.so) turns received MSC data into a queue of TPEG data, the TPEG
// library (libTpegdec_tdc.so) reads the queue, writes the TPEG data files and
// raises one event per finished file.
//
// Every argument and result is a 32-bit value or, where it may carry an
// address, pointer sized. Wide strings are UTF-16 and NUL terminated.
#pragma once

#include <cstdint>

extern "C" {

// Called on the TPEG library's decoding thread once per finished file with
// the window given to InitTpegLibrary, the event code and a parameter of the
// library's own, which goes back unchanged in TTBEventComplete before the
// callback returns.
typedef std::intptr_t (*TpegEventCallback)(std::uintptr_t window, std::uint32_t code,
                                           std::uintptr_t parameter);

// TDC library. Success: InitTDC non-zero; StartTDCDecode/StopTDCDecode above
// 0; GetTDCState 1 or 2 when decoding may start. FillMSCData takes the data
// callback's four arguments unchanged.
std::int32_t InitTDC(const std::uint32_t* config);
std::uintptr_t GetTpegQueue(void);
std::int32_t GetTDCState(void);
std::int32_t StartTDCDecode(void);
std::int32_t StopTDCDecode(void);
std::intptr_t FillMSCData(std::uintptr_t a, std::uintptr_t b, std::uintptr_t c, std::uintptr_t d);
std::int32_t UninitTDC(void);

// TPEG library. Success is 0 unless said otherwise.
std::int32_t InitTpegLibrary(std::uintptr_t window);
std::int32_t RegisterEventHandler(TpegEventCallback callback);
std::int32_t SetLogLevel(std::int32_t level);
std::int32_t GetTSP(void);  // non-zero: SetTSP(0) follows
std::int32_t SetTSP(std::int32_t value);
std::int32_t SetTransferDataPath(const char16_t* folder);  // 0 = folder created
std::int32_t SetSelectParser(std::uint32_t mask);
std::int32_t SetPoiOpsFlag(std::int32_t flag);
std::int32_t SetTDCQueue(std::uintptr_t queue);
std::int32_t StartTpegDecoder(void);
std::int32_t StopTpegDecoder(void);
const char16_t* GetTransferDataPath(void);  // owned by the library; may be null
std::int32_t TTBEventComplete(std::uintptr_t parameter, std::uint32_t code);
std::int32_t UninitTpegLibrary(void);

}  // extern "C"

// The service reaches the libraries only through this table, so tests can put
// fakes behind it. Members carry the exported names.
struct DecoderLibrary {
    decltype(&::InitTDC) InitTDC;
    decltype(&::GetTpegQueue) GetTpegQueue;
    decltype(&::GetTDCState) GetTDCState;
    decltype(&::StartTDCDecode) StartTDCDecode;
    decltype(&::StopTDCDecode) StopTDCDecode;
    decltype(&::FillMSCData) FillMSCData;
    decltype(&::UninitTDC) UninitTDC;
    decltype(&::InitTpegLibrary) InitTpegLibrary;
    decltype(&::RegisterEventHandler) RegisterEventHandler;
    decltype(&::SetLogLevel) SetLogLevel;
    decltype(&::GetTSP) GetTSP;
    decltype(&::SetTSP) SetTSP;
    decltype(&::SetTransferDataPath) SetTransferDataPath;
    decltype(&::SetSelectParser) SetSelectParser;
    decltype(&::SetPoiOpsFlag) SetPoiOpsFlag;
    decltype(&::SetTDCQueue) SetTDCQueue;
    decltype(&::StartTpegDecoder) StartTpegDecoder;
    decltype(&::StopTpegDecoder) StopTpegDecoder;
    decltype(&::GetTransferDataPath) GetTransferDataPath;
    decltype(&::TTBEventComplete) TTBEventComplete;
    decltype(&::UninitTpegLibrary) UninitTpegLibrary;
};

// The table in use: the two shared libraries, loaded on first use from the
// loader's search path. A library that cannot be loaded is logged once and
// its functions answer as failures, so the service keeps running without it.
const DecoderLibrary& Decoders();

// Replaces the table for the whole process (null restores the libraries).
// The table must outlive its use.
void SetDecoderLibrary(const DecoderLibrary* library);
