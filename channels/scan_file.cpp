// Reading and writing TDMBScan.dat: one number per line ended by LF (decimal,
// the service identifier in lower-case hexadecimal), each label as its 20 raw
// bytes followed by LF.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include "channels/channel_list.h"
#include "platform/device_fs.h"
#include "platform/format.h"
#include "platform/log.h"

namespace {

// A scan file of a real region holds a few hundred services at most; the
// header's count is not trusted beyond this, nor beyond the file's own size.
constexpr std::uint32_t kMaxEntries = 4096;
// Larger files are read up to here; everything after counts as end of file.
constexpr std::size_t kMaxFileBytes = 1 << 20;

// Reads the numbers of a scan file. Every number is read from its own line:
// white space before it is skipped, reading stops at the first character that
// cannot belong to it, and the rest of its line is passed over. A line that
// holds no number (or the end of the file) leaves the member unchanged, and
// reading goes on with the next line, so one damaged line costs one value.
class ScanFileReader {
  public:
    explicit ScanFileReader(std::string_view text) : m_text(text) {}

    void ReadDecimal(std::int32_t& member) {
        if (auto value = ReadNumber(10)) {
            member = static_cast<std::int32_t>(*value);
        }
    }
    void ReadHex(std::uint32_t& member) {
        if (auto value = ReadNumber(16)) {
            member = *value;
        }
    }
    void ReadByte(std::uint8_t& member) {
        if (auto value = ReadNumber(10)) {
            member = static_cast<std::uint8_t>(*value & 0xFF);
        }
    }
    // The label's 20 bytes exactly as stored, then the rest of their line.
    void ReadLabel(std::uint8_t (&label)[kLabelSize]) {
        std::size_t n = std::min(kLabelSize, m_text.size() - m_pos);
        std::copy_n(m_text.data() + m_pos, n, label);
        m_pos += n;
        SkipLine();
    }

  private:
    // The value modulo 2^32, as the 32-bit member will hold it.
    std::optional<std::uint32_t> ReadNumber(int base) {
        while (m_pos < m_text.size() && IsSpace(m_text[m_pos])) {
            ++m_pos;
        }
        bool negative = false;
        if (base == 10 && m_pos < m_text.size() && (m_text[m_pos] == '-' || m_text[m_pos] == '+')) {
            negative = m_text[m_pos] == '-';
            ++m_pos;
        }
        std::uint32_t value = 0;
        bool any = false;
        for (; m_pos < m_text.size(); ++m_pos) {
            int digit = Digit(m_text[m_pos], base);
            if (digit < 0) {
                break;
            }
            value = value * static_cast<std::uint32_t>(base) + static_cast<std::uint32_t>(digit);
            any = true;
        }
        SkipLine();
        if (!any) {
            return std::nullopt;
        }
        return negative ? 0u - value : value;
    }

    void SkipLine() {
        while (m_pos < m_text.size() && m_text[m_pos++] != '\n') {
        }
    }
    static bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
    static int Digit(char c, int base) {
        if (c >= '0' && c <= '9') {
            return c - '0';
        }
        if (base == 16 && c >= 'a' && c <= 'f') {
            return c - 'a' + 10;
        }
        if (base == 16 && c >= 'A' && c <= 'F') {
            return c - 'A' + 10;
        }
        return -1;
    }

    std::string_view m_text;
    std::size_t m_pos = 0;
};

struct ScanFileText {
    std::string text;
    std::filesystem::file_time_type written;
};

// Only a regular file counts: a folder (or anything else) at the path cannot
// be opened as a scan file, so the next location is tried.
std::optional<ScanFileText> ReadDeviceFile(std::u16string_view devicePath) {
    auto hostPath = platform::MapDevicePath(devicePath);
    if (!hostPath) {
        return std::nullopt;
    }
    std::error_code error;
    if (!std::filesystem::is_regular_file(*hostPath, error)) {
        return std::nullopt;
    }
    std::ifstream in(*hostPath, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    ScanFileText file{std::string(kMaxFileBytes, '\0'),
                      std::filesystem::last_write_time(*hostPath, error)};
    in.read(file.text.data(), static_cast<std::streamsize>(file.text.size()));
    file.text.resize(static_cast<std::size_t>(in.gcount()));
    return file;
}

void AppendLine(std::string& out, std::int64_t value) {
    out += std::to_string(value);
    out += '\n';
}

}  // namespace

bool CChannelList::Parse(std::string_view text) {
    Clear();
    ScanFileReader reader(text);
    reader.ReadDecimal(mdwVersion);
    if (mdwVersion != kScanFileVersion) {
        platform::MessageBox(nullptr, u"scan file version is invalid. Please, scan channels again.",
                             nullptr, platform::MB_OK);
        return false;
    }
    reader.ReadDecimal(mdwCountry);
    reader.ReadDecimal(mdwBand);
    std::int32_t count = static_cast<std::int32_t>(mdwChannelCount);
    reader.ReadDecimal(count);
    mdwChannelCount = static_cast<std::uint32_t>(count);
    reader.ReadDecimal(mdwType1Index);
    reader.ReadDecimal(mdwType2Index);

    std::uint32_t limit = std::min<std::uint32_t>(
        {mdwChannelCount, kMaxEntries, static_cast<std::uint32_t>(text.size())});
    if (limit < mdwChannelCount) {
        platform::DebugPrintf(u"Scan file announces %u entries; reading %u\r\n", mdwChannelCount,
                              limit);
    }
    for (std::uint32_t i = 0; i < limit; ++i) {
        ChannelInfo entry{};
        reader.ReadDecimal(entry.dwScanWord0);
        reader.ReadDecimal(entry.dwFrequency);
        reader.ReadHex(entry.dwServiceId);
        reader.ReadLabel(entry.szLabel);
        reader.ReadDecimal(entry.dwSubChannel);
        reader.ReadDecimal(entry.dwServiceType);
        reader.ReadDecimal(entry.dwScanWord10);
        reader.ReadByte(entry.byAudioCode);
        reader.ReadDecimal(entry.dwAudioChannels);
        reader.ReadDecimal(entry.dwSampleRate);
        Append(entry);
    }
    return true;
}

std::string CChannelList::Serialize() const {
    std::string out;
    AppendLine(out, kScanFileVersion);
    AppendLine(out, mdwCountry);
    AppendLine(out, mdwBand);
    AppendLine(out, static_cast<std::int64_t>(mEntries.size()));
    AppendLine(out, mdwType1Index);
    AppendLine(out, mdwType2Index);
    for (const auto& entry : mEntries) {
        AppendLine(out, entry->dwScanWord0);
        AppendLine(out, entry->dwFrequency);
        char hex[9];
        std::snprintf(hex, sizeof hex, "%x", entry->dwServiceId);
        out += hex;
        out += '\n';
        out.append(reinterpret_cast<const char*>(entry->szLabel), kLabelSize);
        out += '\n';
        AppendLine(out, entry->dwSubChannel);
        AppendLine(out, entry->dwServiceType);
        AppendLine(out, entry->dwScanWord10);
        AppendLine(out, entry->byAudioCode);
        AppendLine(out, entry->dwAudioChannels);
        AppendLine(out, entry->dwSampleRate);
    }
    return out;
}

bool CChannelList::Load() {
    std::optional<ScanFileText> card = ReadDeviceFile(kScanFileOnCard);
    std::optional<ScanFileText> flash = ReadDeviceFile(kScanFileInFlash);
    // The card's file is the one to read, unless a later save could not
    // replace it and went to the flash instead: then the flash file is newer.
    const ScanFileText* chosen = card ? &*card : nullptr;
    if (flash && (!card || flash->written > card->written)) {
        chosen = &*flash;
    }
    if (chosen == nullptr) {
        return false;
    }
    Parse(chosen->text);
    return true;
}

void CChannelList::Save() {
    // Written next to the old file and renamed over it, so a power cut leaves
    // either the old list or the new one, never half of one.
    std::string text = Serialize();
    if (!platform::WriteFileAtomically(kScanFileOnCard, text)) {
        if (!platform::WriteFileAtomically(kScanFileInFlash, text)) {
            return;
        }
        // The card's old list must not win the next Load. Where it cannot be
        // removed either, it is older than the flash file, which Load prefers.
        const platform::DWORD stale = platform::GetFileAttributes(kScanFileOnCard.data());
        if (stale != platform::INVALID_FILE_ATTRIBUTES &&
            (stale & platform::FILE_ATTRIBUTE_DIRECTORY) == 0 &&
            !platform::DeleteFile(kScanFileOnCard.data())) {
            platform::DebugPrintf(
                u"Scan file saved to flash; the card's older one could not be removed\r\n");
        }
    }
    mdwChannelCount = static_cast<std::uint32_t>(mEntries.size());
}
