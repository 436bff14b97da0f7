// libFuzzer target: any bytes as an IQ recording, played through the file
// source. The first byte picks the format (bit 0: cf32) and the block size;
// the rest is the file. A file with a whole sample fills every block, one
// without gives nothing, and every sample reaches the receiver finite.
#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "devices/iq_source.h"

namespace {

// One folder for the whole run, removed at exit.
class Folder {
  public:
    Folder() {
        char name[] = "/tmp/iq_file_fuzzer.XXXXXX";
        if (::mkdtemp(name) == nullptr) {
            __builtin_trap();
        }
        m_path = name;
    }
    ~Folder() {
        std::remove(U8().c_str());
        std::remove(Cf32().c_str());
        ::rmdir(m_path.c_str());
    }
    const std::string& Path() const { return m_path; }
    std::string U8() const { return m_path + "/183008.iq"; }
    std::string Cf32() const { return m_path + "/183008.cf32.iq"; }

  private:
    std::string m_path;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Folder folder;
    if (size == 0) {
        return 0;
    }
    const bool cf32 = (data[0] & 1) != 0;
    const std::size_t block = 1 + (data[0] >> 1) * 13;
    const std::size_t fileSize = size - 1;
    std::remove((cf32 ? folder.U8() : folder.Cf32()).c_str());
    std::ofstream(cf32 ? folder.Cf32() : folder.U8(), std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data + 1), static_cast<std::streamsize>(fileSize));

    std::string error;
    auto source = devices::OpenIqSource("file:" + folder.Path(), error);
    if (!source || !source->Tune(183008)) {
        __builtin_trap();
    }
    const bool hasSample = fileSize >= (cf32 ? 8u : 2u);
    std::vector<std::complex<float>> out(block);
    // Enough blocks to go round a short file several times.
    for (int i = 0; i < 4; ++i) {
        const std::size_t got = source->Read(out);
        if (got != (hasSample ? block : 0)) {
            __builtin_trap();
        }
        for (std::size_t j = 0; j < got; ++j) {
            if (!std::isfinite(out[j].real()) || !std::isfinite(out[j].imag())) {
                __builtin_trap();
            }
        }
    }
    if (source->Tune(200000)) {
        __builtin_trap();  // no recording for it
    }
    return 0;
}
