#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/device_fs.h"
#include "tests/support/temp_dir.h"

using namespace platform;

namespace {

class DeviceFile : public testing::Test {
  protected:
    std::string Contents(const std::string& name) {
        std::ifstream in(m_root / name, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    void Put(const std::string& name, const std::string& text) {
        std::ofstream(m_root / name, std::ios::binary) << text;
    }
    // Everything in the folder; a leftover temporary shows up here.
    std::vector<std::string> Listing(const std::string& folder = "") {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(m_root / folder)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    testsupport::TempDir m_root;
    testsupport::ScopedEnv m_env{"DMBTPEG_ROOT", m_root.Path()};
};

HANDLE Open(LPCWSTR path, DWORD disposition, DWORD access = GENERIC_READ | GENERIC_WRITE) {
    return CreateFile(path, access, FILE_SHARE_READ, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                      nullptr);
}

TEST_F(DeviceFile, OpenAlwaysKeepsContentsAndReportsThatTheFileExisted) {
    HANDLE created = Open(u"\\log.txt", OPEN_ALWAYS);
    ASSERT_NE(created, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(created, "hello", 5, &written, nullptr));
    EXPECT_EQ(written, 5u);
    CloseHandle(created);

    HANDLE again = Open(u"\\log.txt", OPEN_ALWAYS);
    ASSERT_NE(again, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    char buffer[16] = {};
    DWORD read = 0;
    ASSERT_TRUE(ReadFile(again, buffer, sizeof buffer, &read, nullptr));
    EXPECT_EQ(std::string(buffer, read), "hello");
    EXPECT_EQ(GetFileSize(again, nullptr), 5u);
    CloseHandle(again);
}

TEST_F(DeviceFile, CreateAlwaysTruncatesAndReportsThatTheFileExisted) {
    Put("a.bin", "old contents");
    HANDLE file = Open(u"a.bin", CREATE_ALWAYS);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    CloseHandle(file);
    EXPECT_EQ(Contents("a.bin"), "");

    file = Open(u"b.bin", CREATE_ALWAYS);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    CloseHandle(file);
}

TEST_F(DeviceFile, ExistingAndNewDispositionsFailAsWin32Does) {
    EXPECT_EQ(Open(u"missing", OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Open(u"missing", TRUNCATE_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Open(u"\\NoFolder\\x", OPEN_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);

    Put("there", "1234");
    EXPECT_EQ(Open(u"there", CREATE_NEW), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
    EXPECT_EQ(Contents("there"), "1234");
    HANDLE file = Open(u"there", TRUNCATE_EXISTING);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);
    EXPECT_EQ(Contents("there"), "");
}

TEST_F(DeviceFile, HandlesKeepTheirAccessAndDieWithClose) {
    Put("data", "abc");
    HANDLE reader = Open(u"data", OPEN_EXISTING, GENERIC_READ);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    DWORD written = 7;
    EXPECT_FALSE(WriteFile(reader, "x", 1, &written, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(written, 0u);
    EXPECT_TRUE(CloseHandle(reader));

    char buffer[4];
    DWORD read = 0;
    EXPECT_FALSE(ReadFile(reader, buffer, sizeof buffer, &read, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(CloseHandle(reader));
    EXPECT_EQ(WaitForSingleObject(reader, 0), WAIT_FAILED);
}

TEST_F(DeviceFile, FoldersAreNotFiles) {
    ASSERT_TRUE(CreateDirectory(u"\\TPEGDATA", nullptr));
    EXPECT_FALSE(CreateDirectory(u"\\TPEGDATA", nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_FALSE(CreateDirectory(u"\\A\\B", nullptr));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);

    EXPECT_EQ(Open(u"\\TPEGDATA", OPEN_EXISTING, GENERIC_READ), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(OpenDeviceFile(u"\\TPEGDATA", "r"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(DeleteFile(u"\\TPEGDATA"));
    EXPECT_EQ(GetFileAttributes(u"\\TPEGDATA"), FILE_ATTRIBUTE_DIRECTORY);
}

TEST_F(DeviceFile, DeleteAttributesAndMove) {
    Put("one", "1");
    Put("two", "2");
    EXPECT_EQ(GetFileAttributes(u"one"), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(GetFileAttributes(u"none"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

    EXPECT_FALSE(MoveFileEx(u"one", u"two", 0));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(Contents("two"), "2");
    EXPECT_TRUE(MoveFileEx(u"one", u"two", MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
    EXPECT_EQ(Contents("two"), "1");
    EXPECT_EQ(GetFileAttributes(u"one"), INVALID_FILE_ATTRIBUTES);

    EXPECT_TRUE(DeleteFile(u"two"));
    EXPECT_FALSE(DeleteFile(u"two"));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(DeviceFile, StdioOpenReadsAndWritesDevicePaths) {
    ASSERT_TRUE(CreateDirectory(u"\\Nand", nullptr));
    FILE* out = OpenDeviceFile(u"\\Nand\\TDMBScan.dat", "w");
    ASSERT_NE(out, nullptr);
    std::fputs("scan\n", out);
    std::fclose(out);
    EXPECT_EQ(Contents("Nand/TDMBScan.dat"), "scan\n");
    EXPECT_EQ(OpenDeviceFile(u"\\Nand\\missing", "r"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(DeviceFile, AtomicWriteReplacesAndKeepsTheMode) {
    Put("info.env", "old");
    ::chmod((m_root / "info.env").c_str(), 0600);
    ASSERT_TRUE(WriteFileAtomically(u"info.env", "new contents"));
    EXPECT_EQ(Contents("info.env"), "new contents");
    struct stat st {};
    ASSERT_EQ(::stat((m_root / "info.env").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(Listing(), std::vector<std::string>{"info.env"});
}

TEST_F(DeviceFile, FailedAtomicWriteLeavesTheOldFileAndNoTemporary) {
    Put("scan.dat", "old");
    // A file size limit makes the write itself fail, also for root, which a
    // read-only folder would not stop.
    struct sigaction ignore {
    }, previous{};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGXFSZ, &ignore, &previous);
    rlimit oldLimit{};
    ::getrlimit(RLIMIT_FSIZE, &oldLimit);
    rlimit small = oldLimit;
    small.rlim_cur = 4;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    bool ok = WriteFileAtomically(u"scan.dat", "much longer than four bytes");
    DWORD error = GetLastError();
    ::setrlimit(RLIMIT_FSIZE, &oldLimit);
    ::sigaction(SIGXFSZ, &previous, nullptr);

    EXPECT_FALSE(ok);
    EXPECT_EQ(error, ERROR_WRITE_FAULT);
    EXPECT_EQ(Contents("scan.dat"), "old");
    EXPECT_EQ(Listing(), std::vector<std::string>{"scan.dat"});
}

TEST_F(DeviceFile, FailedRenameLeavesNoTemporary) {
    ASSERT_TRUE(CreateDirectory(u"\\target", nullptr));
    EXPECT_FALSE(WriteFileAtomically(u"target", "data"));
    EXPECT_EQ(GetFileAttributes(u"target"), FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(Listing(), std::vector<std::string>{"target"});

    EXPECT_FALSE(WriteFileAtomically(u"\\NoFolder\\x", "data"));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST_F(DeviceFile, AtomicWriteIntoAReadOnlyFolderFails) {
    if (::geteuid() == 0) {
        GTEST_SKIP() << "folder permissions do not bind root";
    }
    ASSERT_TRUE(CreateDirectory(u"\\ro", nullptr));
    Put("ro/f", "old");
    ::chmod((m_root / "ro").c_str(), 0555);
    EXPECT_FALSE(WriteFileAtomically(u"\\ro\\f", "new"));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    ::chmod((m_root / "ro").c_str(), 0755);
    EXPECT_EQ(Contents("ro/f"), "old");
    EXPECT_EQ(Listing("ro"), std::vector<std::string>{"f"});
}

TEST_F(DeviceFile, AProvisionedScanFileIsFoundWhateverItsCase) {
    std::filesystem::create_directories(m_root / "SDMMC Disk/SYSDATA");
    Put("SDMMC Disk/SYSDATA/TDMBSCAN.DAT", "channels");
    FILE* file = OpenDeviceFile(u"\\SDMMC Disk\\SysData\\TDMBScan.dat", "rb");
    ASSERT_NE(file, nullptr);
    char text[16] = {};
    EXPECT_EQ(std::fread(text, 1, sizeof text, file), 8u);
    std::fclose(file);
    EXPECT_EQ(std::string(text), "channels");

    HANDLE handle = Open(u"\\sdmmc disk\\sysdata\\tdmbscan.dat", OPEN_EXISTING, GENERIC_READ);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetFileSize(handle, nullptr), 8u);
    CloseHandle(handle);
    EXPECT_EQ(GetFileAttributes(u"\\SDMMC Disk\\SysData\\TDMBScan.dat"), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(DeviceFile, AtomicWriteReplacesTheFileSpelledInAnotherCase) {
    std::filesystem::create_directories(m_root / "TPEGDATA");
    Put("TPEGDATA/TPCTTL3.BIN", "old");
    ASSERT_TRUE(WriteFileAtomically(u"\\TpegData\\tpcttl3.bin", "new"));
    EXPECT_EQ(Listing(), std::vector<std::string>{"TPEGDATA"});
    EXPECT_EQ(Listing("TPEGDATA"), std::vector<std::string>{"TPCTTL3.BIN"});
    EXPECT_EQ(Contents("TPEGDATA/TPCTTL3.BIN"), "new");
}

TEST_F(DeviceFile, CallsOnAnotherCaseReachTheExistingFileOrFolder) {
    Put("Log.txt", "x");
    EXPECT_EQ(Open(u"\\LOG.TXT", CREATE_NEW), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
    HANDLE handle = Open(u"\\log.txt", CREATE_ALWAYS);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    CloseHandle(handle);

    ASSERT_TRUE(CreateDirectory(u"\\Nand", nullptr));
    EXPECT_FALSE(CreateDirectory(u"\\NAND", nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    ASSERT_TRUE(MoveFileEx(u"\\LOG.txt", u"\\nand\\Moved.txt", 0));
    EXPECT_EQ(Listing("Nand"), std::vector<std::string>{"Moved.txt"});
    EXPECT_TRUE(DeleteFile(u"\\NAND\\MOVED.TXT"));
    EXPECT_EQ(Listing(), std::vector<std::string>{"Nand"});
}

TEST_F(DeviceFile, MovingAFileOntoItsOwnNameInAnotherCaseRenamesIt) {
    Put("scan.dat", "x");
    ASSERT_TRUE(MoveFileEx(u"\\scan.dat", u"\\Scan.DAT", 0));
    EXPECT_EQ(Listing(), std::vector<std::string>{"Scan.DAT"});
    ASSERT_TRUE(MoveFileEx(u"\\SCAN.DAT", u"\\scan.dat", MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(Listing(), std::vector<std::string>{"scan.dat"});
    EXPECT_EQ(Contents("scan.dat"), "x");
}

}  // namespace
