// libFuzzer target: the whole MSC decode, from a sub-channel's 24 ms blocks through the TDC
// library's queue to the TPEG library's data files, set up as the service sets it up.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

#include "broadcast/msc_data_path.h"
#include "fuzz/quiet_log.h"
#include "platform/log.h"
#include "tpeg/decoder_library.h"

namespace {

// Queue capacity, largest data group, packet mode with data groups: what the service asks for.
constexpr std::uint32_t kTdcConfig[3] = {0x20000, 0x4000, 1};

std::filesystem::path& Root() {
    static std::filesystem::path root;
    return root;
}

std::intptr_t OnEvent(std::uintptr_t, std::uint32_t code, std::uintptr_t parameter) {
    TTBEventComplete(parameter, code);
    return 1;
}

void Shutdown() {
    StopTDCDecode();
    StopTpegDecoder();
    std::error_code ignored;
    std::filesystem::remove_all(Root(), ignored);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzing::SilenceLogs();

    std::string folder = (std::filesystem::temp_directory_path() / "msc_decode_fuzzer.XXXXXX");
    if (mkdtemp(folder.data()) == nullptr) {
        std::abort();
    }
    Root() = folder;
    setenv("DMBTPEG_ROOT", folder.c_str(), 1);

    if (InitTDC(kTdcConfig) == 0 || InitTpegLibrary(0) != 0 ||
        RegisterEventHandler(&OnEvent) != 0 || SetTransferDataPath(u"\\TPEGDATA") != 0) {
        std::abort();
    }
    if (const std::uintptr_t queue = GetTpegQueue(); queue != 0) {
        SetTDCQueue(queue);
    }
    if (StartTpegDecoder() != 0 || StartTDCDecode() <= 0) {
        std::abort();
    }
    std::atexit(&Shutdown);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    if (size < 3) {
        return 0;
    }
    // The first byte gives the sub-channel's size in 24-byte units, that is one 24 ms block;
    // zero passes the rest as a single block.
    const std::size_t block = data[0] == 0 ? size - 3 : std::size_t{data[0]} * 24;
    // The next two say what the FIC tells about the component: bit 7 of the second byte set
    // means it told something, bit 2 the DG flag, bits 3-4 the FEC scheme, bits 0-1 and the
    // third byte the packet address.
    broadcast::PacketComponentInfo component;
    component.known = (data[1] & 0x80) != 0;
    if (component.known) {
        component.address = static_cast<std::uint16_t>(((data[1] & 3) << 8) | data[2]);
        component.dgFlag = (data[1] & 0x04) != 0;
        component.fecScheme = static_cast<std::uint8_t>((data[1] >> 3) & 3);
        component.dscty = 5;
    }
    // A sub-channel of its own for each input starts the decoder's stream afresh.
    static std::uint8_t input = 0;
    const std::uintptr_t subChannel =
        broadcast::PackMscDataWord(static_cast<std::uint8_t>(1 + (input++ % 2)), component);
    std::uintptr_t frame = 0;
    for (std::size_t offset = 3; offset < size; offset += block) {
        const std::size_t length = std::min(block, size - offset);
        FillMSCData(reinterpret_cast<std::uintptr_t>(data + offset), length, subChannel, frame++);
    }
    return 0;
}
