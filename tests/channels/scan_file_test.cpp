#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "channels/channel_list.h"
#include "platform/log.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

ChannelInfo Entry(std::uint32_t id, std::string_view label, std::int32_t type = kServiceTypeData) {
    ChannelInfo e{};
    e.dwScanWord0 = -1;
    e.dwFrequency = 183008;
    e.dwServiceId = id;
    std::memcpy(e.szLabel, label.data(), std::min(label.size(), kLabelSize));
    e.dwSubChannel = 5;
    e.dwServiceType = type;
    e.dwScanWord10 = 77;
    return e;
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteAll(const std::string& path, std::string_view text) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

class ScanFile : public testing::Test {
  protected:
    std::string CardFile() const { return m_root / "SDMMC Disk/SysData/TDMBScan.dat"; }
    std::string FlashFile() const { return m_root / "Nand/TDMBScan.dat"; }
    void MakeCard() { fs::create_directories(m_root / "SDMMC Disk/SysData"); }
    void MakeFlash() { fs::create_directories(m_root / "Nand"); }

    testsupport::TempDir m_root;
    testsupport::ScopedEnv m_env{"DMBTPEG_ROOT", m_root.Path()};
};

TEST_F(ScanFile, SavedEntriesComeBackByteForByte) {
    MakeCard();
    CChannelList list;
    list.mdwType2Index = 1;
    list.Append(Entry(0xF1E00448, std::string("TPEG") + std::string(16, '\0')));
    list.Append(Entry(0xF1E00445, "ABCDEFGHIJKLMNOPQRST"));  // all 20 bytes, no terminator
    list.Append(Entry(0x1234, " leading blank"));
    list.Save();
    EXPECT_EQ(list.mdwChannelCount, 3u);

    std::string text = ReadAll(CardFile());
    EXPECT_EQ(text.substr(0, 19), "1004\n82\n0\n3\n0\n1\n-1\n");
    EXPECT_NE(text.find("\nf1e00448\nTPEG" + std::string(16, '\0') + "\n5\n3\n77\n0\n0\n0\n"),
              std::string::npos);

    CChannelList loaded;
    loaded.Load();
    ASSERT_EQ(loaded.Size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(std::memcmp(&loaded.At(i), &list.At(i), kScanEntrySize), 0) << i;
    }
    EXPECT_EQ(loaded.At(0).dwServiceId, 0xF1E00448u);
    EXPECT_EQ(loaded.At(0).dwScanWord0, -1);
    EXPECT_EQ(loaded.mdwType2Index, 1);
    EXPECT_EQ(loaded.Serialize(), text);
}

TEST_F(ScanFile, EmptyListIsExactlySixLines) {
    MakeCard();
    CChannelList list;
    list.mdwCountry = 86;
    list.mdwBand = 1;
    list.mdwType1Index = 4;
    list.mdwType2Index = -2;
    list.mdwChannelCount = 9;
    list.Save();
    EXPECT_EQ(ReadAll(CardFile()), "1004\n86\n1\n0\n4\n-2\n");
    EXPECT_EQ(list.mdwChannelCount, 0u);
}

TEST_F(ScanFile, WrongVersionShowsTheMessageOnceAndLeavesTheListEmpty) {
    WriteAll(CardFile(), "1003\n86\n1\n1\n0\n0\n");
    platform::ScopedMessageBoxCapture boxes;
    CChannelList list;
    list.Append(Entry(1, "old"));
    list.Load();
    EXPECT_EQ(list.Size(), 0u);
    EXPECT_EQ(list.mdwVersion, 1003);
    EXPECT_EQ(list.mdwCountry, 82);
    ASSERT_EQ(boxes.Texts().size(), 1u);
    EXPECT_EQ(boxes.Texts()[0], u"scan file version is invalid. Please, scan channels again.");
}

TEST_F(ScanFile, EmptyFileKeepsTheHeaderAndShowsNothing) {
    WriteAll(CardFile(), "");
    platform::ScopedMessageBoxCapture boxes;
    CChannelList list;
    list.Load();
    EXPECT_EQ(list.mdwVersion, 1004);
    EXPECT_EQ(list.mdwChannelCount, 0u);
    EXPECT_EQ(list.Size(), 0u);
    EXPECT_TRUE(boxes.Texts().empty());
}

TEST_F(ScanFile, NoFileAnywhereChangesNothing) {
    CChannelList list;
    list.Append(Entry(1, "kept"));
    list.mdwCountry = 86;
    list.Load();
    EXPECT_EQ(list.Size(), 1u);
    EXPECT_EQ(list.mdwCountry, 86);
}

TEST_F(ScanFile, ShortFileStillYieldsTheAnnouncedNumberOfEntries) {
    CChannelList source;
    source.Append(Entry(0xF1E00245, "ONE"));
    std::string text = source.Serialize();
    text.replace(text.find("\n1\n0\n0\n") + 1, 1, "3");
    WriteAll(CardFile(), text);

    CChannelList list;
    list.Load();
    ASSERT_EQ(list.Size(), 3u);
    EXPECT_EQ(list.mdwChannelCount, 3u);
    EXPECT_EQ(list.At(0).dwServiceId, 0xF1E00245u);
    ChannelInfo zero{};
    EXPECT_EQ(std::memcmp(&list.At(1), &zero, sizeof zero), 0);
    EXPECT_EQ(std::memcmp(&list.At(2), &zero, sizeof zero), 0);
}

TEST_F(ScanFile, DamagedLineCostsOnlyItsOwnValue) {
    CChannelList source;
    source.Append(Entry(0xF1E00448, "TPEG"));
    std::string text = source.Serialize();
    // The frequency line (183008) becomes garbage; CR LF line ends elsewhere.
    text.replace(text.find("183008\n"), 7, "x83008\r\n");
    WriteAll(CardFile(), text);

    CChannelList list;
    list.Load();
    ASSERT_EQ(list.Size(), 1u);
    EXPECT_EQ(list.At(0).dwFrequency, 0);
    EXPECT_EQ(list.At(0).dwServiceId, 0xF1E00448u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(list.At(0).szLabel)), "TPEG");
    EXPECT_EQ(list.At(0).dwSubChannel, 5);
    EXPECT_EQ(list.At(0).dwScanWord10, 77);
}

TEST_F(ScanFile, AbsurdCountIsBoundedByTheFileItself) {
    WriteAll(CardFile(), "1004\n82\n0\n4000000000\n0\n0\n");
    testsupport::CapturingLogSink log;
    platform::ScopedLogSink guard(log);
    CChannelList list;
    list.Load();
    EXPECT_LE(list.Size(), 64u);
    EXPECT_NE(log.Text().find("reading"), std::string::npos);
}

TEST_F(ScanFile, WithoutTheCardFolderTheFlashFileIsWrittenAndReadBack) {
    fs::create_directories(m_root / "SDMMC Disk");  // card present, SysData missing
    MakeFlash();
    CChannelList list;
    list.Append(Entry(0xF1E00448, "TPEG"));
    list.Save();
    EXPECT_FALSE(fs::exists(CardFile()));
    ASSERT_TRUE(fs::exists(FlashFile()));

    CChannelList loaded;
    loaded.Load();
    EXPECT_EQ(loaded.Size(), 1u);
}

TEST_F(ScanFile, NowhereWritableWritesNothingAndKeepsTheCount) {
    CChannelList list;
    list.mdwChannelCount = 7;
    list.Append(Entry(1, "x"));
    list.Save();
    EXPECT_EQ(list.mdwChannelCount, 7u);
    EXPECT_FALSE(fs::exists(FlashFile()));
}

TEST_F(ScanFile, SaveReplacesTheFileInsteadOfRewritingIt) {
    MakeCard();
    CChannelList list;
    list.Append(Entry(1, "old"));
    list.Save();
    // A reader that opened the old file keeps seeing the complete old list:
    // the new one arrives as a different file renamed over it.
    std::ifstream reader(CardFile(), std::ios::binary);
    std::string before = ReadAll(CardFile());
    list.Append(Entry(2, "new"));
    list.Save();
    std::stringstream seen;
    seen << reader.rdbuf();
    EXPECT_EQ(seen.str(), before);
    EXPECT_NE(ReadAll(CardFile()), before);
    for (const auto& item : fs::directory_iterator(m_root / "SDMMC Disk/SysData")) {
        EXPECT_EQ(item.path().filename(), "TDMBScan.dat") << "temporary left behind";
    }
}

TEST_F(ScanFile, WhatWasSavedLastIsLoadedWhicheverLocationTookIt) {
    MakeCard();
    MakeFlash();
    CChannelList saved;
    saved.Append(Entry(1, "card"));
    saved.Save();
    ASSERT_TRUE(fs::exists(CardFile()));

    // A folder where the card's file should be cannot be read or replaced:
    // the save goes to flash and the next load finds it there.
    fs::remove(CardFile());
    fs::create_directory(CardFile());
    saved.Append(Entry(2, "flash"));
    saved.Save();
    EXPECT_EQ(saved.mdwChannelCount, 2u);
    CChannelList loaded;
    ASSERT_TRUE(loaded.Load());
    EXPECT_EQ(loaded.Size(), 2u);

    // A card file that a failed save could not remove is older than the
    // flash file that took the save; the newer one wins, the card on a tie.
    fs::remove(CardFile());
    WriteAll(CardFile(), "1004\n82\n0\n0\n0\n0\n");
    const auto now = fs::file_time_type::clock::now();
    fs::last_write_time(CardFile(), now - std::chrono::minutes(1));
    fs::last_write_time(FlashFile(), now);
    CChannelList newer;
    newer.Load();
    EXPECT_EQ(newer.Size(), 2u);
    fs::last_write_time(CardFile(), now);
    CChannelList tie;
    tie.Load();
    EXPECT_EQ(tie.Size(), 0u);
}

TEST_F(ScanFile, SaveThatCannotReplaceTheCardFileLeavesItUnableToWin) {
    if (geteuid() == 0) {
        GTEST_SKIP() << "root writes into read-only folders";
    }
    MakeCard();
    MakeFlash();
    WriteAll(CardFile(), "1004\n82\n0\n0\n0\n0\n");
    fs::permissions(m_root / "SDMMC Disk/SysData", fs::perms::owner_write,
                    fs::perm_options::remove);
    CChannelList list;
    list.Append(Entry(3, "new"));
    list.Save();
    fs::permissions(m_root / "SDMMC Disk/SysData", fs::perms::owner_write, fs::perm_options::add);
    CChannelList loaded;
    loaded.Load();
    EXPECT_EQ(loaded.Size(), 1u);
}

TEST(ScanFileParse, SurvivesArbitraryBytes) {
    std::string noise;
    for (int i = 0; i < 4000; ++i) {
        noise += static_cast<char>((i * 7919) % 251);
    }
    for (std::size_t cut = 0; cut < noise.size(); cut += 97) {
        CChannelList list;
        list.Parse("1004\n82\n0\n50\n0\n0\n" + noise.substr(cut));
        EXPECT_LE(list.Size(), 50u);
    }
}

}  // namespace
