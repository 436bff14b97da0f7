// libFuzzer target: any bytes as what an rtl_tcp server sends, header
// included, through the rtl_tcp source on one end of a socket pair, read in
// blocks of 1 + first byte samples. An accepted header is followed by
// exactly one sample per pair of the bytes that follow it; after the server
// has gone, Read and Tune fail without waiting.
#include <sys/socket.h>
#include <unistd.h>

#include <complex>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "devices/rtl_tcp_source.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // More than the socket buffer would block the write below.
    if (size == 0 || size > 65536) {
        return 0;
    }
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        __builtin_trap();
    }
    devices::UniqueFd server(ends[0]);
    devices::UniqueFd client(ends[1]);
    for (std::size_t sent = 0; sent < size;) {
        const ssize_t done = ::write(server.Get(), data + sent, size - sent);
        if (done <= 0) {
            __builtin_trap();
        }
        sent += static_cast<std::size_t>(done);
    }
    ::shutdown(server.Get(), SHUT_WR);

    std::string error;
    auto source = devices::OpenRtlTcpSourceOnSocket(std::move(client), error);
    devices::RtlTcpHeader header;
    std::string why;
    const bool headerGood = devices::ParseRtlTcpHeader(std::span(data, size), header, why);
    if (static_cast<bool>(source) != headerGood || (!source && error.empty())) {
        __builtin_trap();
    }
    if (!source) {
        return 0;
    }
    std::vector<std::complex<float>> out(1 + data[0]);
    std::size_t total = 0;
    for (;;) {
        const std::size_t got = source->Read(out);
        if (got > out.size()) {
            __builtin_trap();
        }
        if (got == 0) {
            break;
        }
        total += got;
    }
    if (total != (size - devices::kRtlTcpHeaderSize) / 2 || source->Tune(183008) ||
        source->Read(out) != 0) {
        __builtin_trap();
    }
    return 0;
}
