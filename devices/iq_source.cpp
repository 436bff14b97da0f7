#include "devices/iq_source.h"

#include <cstdlib>

#include "devices/iq_file_source.h"
#include "devices/rtl_tcp_source.h"
#include "devices/rtlsdr_source.h"

namespace devices {
namespace {

bool ParseUnsigned(const std::string& text, std::uint32_t maximum, std::uint32_t& value) {
    if (text.empty() || text.size() > 10 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    const unsigned long long parsed = std::strtoull(text.c_str(), nullptr, 10);
    if (parsed > maximum) {
        return false;
    }
    value = static_cast<std::uint32_t>(parsed);
    return true;
}

// "HOST:PORT" or "[V6HOST]:PORT".
bool SplitHostPort(const std::string& text, std::string& host, std::string& port) {
    const auto colon = text.rfind(':');
    if (colon == std::string::npos) {
        return false;
    }
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    } else if (host.find(':') != std::string::npos) {
        return false;  // an IPv6 address without brackets is ambiguous
    }
    std::uint32_t number = 0;
    return !host.empty() && ParseUnsigned(port, 65535, number) && number != 0;
}

}  // namespace

std::unique_ptr<IqSource> OpenIqSource(const std::string& setting, std::string& error) {
    const std::string kinds = "file:DIR, rtl_tcp:HOST:PORT, rtlsdr or rtlsdr:INDEX";
    const auto colon = setting.find(':');
    const std::string kind = setting.substr(0, colon);
    const std::string rest = colon == std::string::npos ? std::string() : setting.substr(colon + 1);
    if (kind == "file" && colon != std::string::npos) {
        return OpenIqFileSource(rest, error);
    }
    if (kind == "rtl_tcp") {
        std::string host;
        std::string port;
        if (!SplitHostPort(rest, host, port)) {
            error = "'" + setting + "': expected rtl_tcp:HOST:PORT";
            return nullptr;
        }
        return OpenRtlTcpSource(host, port, error);
    }
    if (kind == "rtlsdr") {
        std::uint32_t index = 0;
        if (colon != std::string::npos && !ParseUnsigned(rest, 255, index)) {
            error = "'" + setting + "': expected rtlsdr or rtlsdr:INDEX";
            return nullptr;
        }
        return OpenRtlSdrSource(index, error);
    }
    error = "unknown IQ source '" + setting + "': expected " + kinds;
    return nullptr;
}

}  // namespace devices
