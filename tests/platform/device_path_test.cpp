#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/device_fs.h"
#include "tests/support/temp_dir.h"

using namespace platform;

namespace {

class DevicePath : public testing::Test {
  protected:
    testsupport::TempDir m_root;
    testsupport::ScopedEnv m_env{"DMBTPEG_ROOT", m_root.Path()};
};

TEST_F(DevicePath, KeepsNamesWithSpacesBelowTheRoot) {
    EXPECT_EQ(MapDevicePath(u"\\SDMMC Disk\\SysData\\TDMBScan.dat"),
              m_root / "SDMMC Disk/SysData/TDMBScan.dat");
    EXPECT_EQ(MapDevicePath(u"\\Nand\\TDMBScan.dat"), m_root / "Nand/TDMBScan.dat");
    EXPECT_EQ(MapDevicePath(u"\\TPEGDATA\\TPCTTL3.BIN"), m_root / "TPEGDATA/TPCTTL3.BIN");
}

TEST_F(DevicePath, BareNameLandsInTheRoot) {
    EXPECT_EQ(MapDevicePath(u"TPEGDMBINFO.ENV"), m_root / "TPEGDMBINFO.ENV");
}

TEST_F(DevicePath, MixedAndRepeatedSeparatorsAndDotsCollapse) {
    EXPECT_EQ(MapDevicePath(u"/TPEGDATA\\\\./sub//x.bin"), m_root / "TPEGDATA/sub/x.bin");
    EXPECT_EQ(MapDevicePath(u"\\a\\...\\b"), m_root / "a/.../b") << "only `..` itself is special";
}

TEST_F(DevicePath, FollowsTheRootVariableAtEveryCall) {
    testsupport::TempDir other;
    testsupport::ScopedEnv env("DMBTPEG_ROOT", other.Path() + "/");
    EXPECT_EQ(MapDevicePath(u"x"), other / "x");
}

TEST_F(DevicePath, DefaultRootFollowsTheStateFolder) {
    testsupport::ScopedEnv unset("DMBTPEG_ROOT", "");
    testsupport::ScopedEnv state("XDG_STATE_HOME", "/state");
    EXPECT_EQ(DeviceRoot(), "/state/dmbtpeg/device");
    testsupport::ScopedEnv noState("XDG_STATE_HOME", "");
    testsupport::ScopedEnv home("HOME", "/home/u");
    EXPECT_EQ(DeviceRoot(), "/home/u/.local/state/dmbtpeg/device");
}

TEST_F(DevicePath, RefusesEveryWayOut) {
    for (std::u16string_view path : {u"..", u"\\..", u"..\\etc\\passwd", u"\\TPEGDATA\\..\\..\\x",
                                     u"\\TPEGDATA\\..", u"a/../b", u"\\TPEGDATA/..\\x", u"", u"\\",
                                     u"\\.\\.\\", u"\\.registry\\HKLM.hive", u"/.REGISTRY"}) {
        EXPECT_EQ(MapDevicePath(path), std::nullopt) << std::string(path.begin(), path.end());
    }
    std::u16string withNul = u"\\TPEGDATA\\a";
    withNul += u'\0';
    withNul += u"b";
    EXPECT_EQ(MapDevicePath(withNul), std::nullopt);
}

TEST_F(DevicePath, RefusedPathsFailTheFileCallsAndWriteNothingOutside) {
    testsupport::TempDir outer;
    ASSERT_EQ(::mkdir((outer / "root").c_str(), 0755), 0);
    testsupport::ScopedEnv env("DMBTPEG_ROOT", outer / "root");
    EXPECT_EQ(CreateFile(u"\\..\\x", GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_BAD_PATHNAME);
    EXPECT_FALSE(WriteFileAtomically(u"a\\..\\..\\x", "data"));
    EXPECT_EQ(GetLastError(), ERROR_BAD_PATHNAME);
    EXPECT_FALSE(CreateDirectory(u"\\..\\x", nullptr));
    EXPECT_FALSE(DeleteFile(u"\\..\\root"));
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(outer.Path())) {
        names.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(names, std::vector<std::string>{"root"});
}

// As on the device's FAT volumes: names match whatever their case, and what
// exists keeps its spelling.
TEST_F(DevicePath, ExistingNamesMatchIgnoringCaseAndKeepTheirSpelling) {
    std::filesystem::create_directories(m_root / "TPEGDATA");
    std::ofstream(m_root / "TPEGDATA/TPCTTL3.BIN") << "x";
    EXPECT_EQ(MapDevicePath(u"\\TpegData\\tpcttl3.bin"), m_root / "TPEGDATA/TPCTTL3.BIN");
    EXPECT_EQ(MapDevicePath(u"/tpegdata/TPCTTL3.BIN"), m_root / "TPEGDATA/TPCTTL3.BIN");
    EXPECT_EQ(MapDevicePath(u"\\TPEGDATA\\TPCTTL3.BIN"), m_root / "TPEGDATA/TPCTTL3.BIN");
}

TEST_F(DevicePath, WhatDoesNotExistYetKeepsTheSpellingGiven) {
    std::filesystem::create_directories(m_root / "TPEGDATA");
    EXPECT_EQ(MapDevicePath(u"\\tpegdata\\New Folder\\File.bin"),
              m_root / "TPEGDATA/New Folder/File.bin");
    EXPECT_EQ(MapDevicePath(u"\\Nand\\TDMBScan.dat"), m_root / "Nand/TDMBScan.dat");
}

TEST_F(DevicePath, LatinOneLettersMatchIgnoringCaseToo) {
    std::ofstream(m_root / "Café Liste.dat") << "x";
    EXPECT_EQ(MapDevicePath(u"\\CAFÉ LISTE.DAT"), m_root / "Café Liste.dat");
}

TEST_F(DevicePath, TheExactSpellingWinsAndOtherwiseTheChoiceIsStable) {
    std::ofstream(m_root / "a.bin") << "lower";
    std::ofstream(m_root / "A.BIN") << "upper";
    EXPECT_EQ(MapDevicePath(u"a.bin"), m_root / "a.bin");
    EXPECT_EQ(MapDevicePath(u"A.BIN"), m_root / "A.BIN");
    EXPECT_EQ(MapDevicePath(u"A.bin"), m_root / "A.BIN") << "the lowest in byte order";
}

TEST_F(DevicePath, TheRegistryFolderStaysRefusedWhateverItsCaseOnDisk) {
    std::filesystem::create_directories(m_root / ".Registry");
    EXPECT_EQ(MapDevicePath(u"\\.registry\\HKLM.hive"), std::nullopt);
}

}  // namespace
