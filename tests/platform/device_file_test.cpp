#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

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

HANDLE Open(LPCWSTR path, DWORD disposition, DWORD access = GENERIC_WRITE) {
    return CreateFile(path, access, 0, nullptr, disposition, 0, nullptr);
}

// The service creates its marker file with OPEN_ALWAYS and closes it at once.
TEST_F(DeviceFile, OpenAlwaysCreatesOrKeepsTheFileAndTellsWhich) {
    HANDLE created = Open(u"\\TPEGDMBINFO.ENV", OPEN_ALWAYS);
    ASSERT_NE(created, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    EXPECT_TRUE(CloseHandle(created));
    EXPECT_EQ(Contents("TPEGDMBINFO.ENV"), "");

    Put("TPEGDMBINFO.ENV", "kept");
    HANDLE again = Open(u"tpegdmbinfo.env", OPEN_ALWAYS);
    ASSERT_NE(again, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_TRUE(CloseHandle(again));
    EXPECT_EQ(Contents("TPEGDMBINFO.ENV"), "kept");
    EXPECT_EQ(Listing(), std::vector<std::string>{"TPEGDMBINFO.ENV"});
    EXPECT_FALSE(CloseHandle(again));
    EXPECT_EQ(WaitForSingleObject(again, 0), WAIT_FAILED);
}

TEST_F(DeviceFile, OpenFailuresAreReportedAsWin32Does) {
    EXPECT_EQ(Open(u"missing", OPEN_EXISTING, GENERIC_READ), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Open(u"\\NoFolder\\x", OPEN_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(Open(u"new", 1 /* CREATE_NEW */), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(Listing(), std::vector<std::string>{});
}

TEST_F(DeviceFile, FoldersAreNotFiles) {
    ASSERT_TRUE(CreateDirectory(u"\\TPEGDATA", nullptr));
    EXPECT_FALSE(CreateDirectory(u"\\TPEGDATA", nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_FALSE(CreateDirectory(u"\\A\\B", nullptr));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);

    EXPECT_EQ(Open(u"\\TPEGDATA", OPEN_EXISTING, GENERIC_READ), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(DeleteFile(u"\\TPEGDATA"));
    EXPECT_EQ(GetFileAttributes(u"\\TPEGDATA"), FILE_ATTRIBUTE_DIRECTORY);
}

TEST_F(DeviceFile, DeleteAndAttributes) {
    Put("one", "1");
    EXPECT_EQ(GetFileAttributes(u"one"), FILE_ATTRIBUTE_NORMAL);
    ::chmod((m_root / "one").c_str(), 0444);
    EXPECT_EQ(GetFileAttributes(u"one"), FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(GetFileAttributes(u"none"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(DeleteFile(u"one"));
    EXPECT_FALSE(DeleteFile(u"one"));
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

TEST_F(DeviceFile, AtomicWriteReplacesTheFileSpelledInAnotherCase) {
    std::filesystem::create_directories(m_root / "TPEGDATA");
    Put("TPEGDATA/TPCTTL3.BIN", "old");
    ASSERT_TRUE(WriteFileAtomically(u"\\TpegData\\tpcttl3.bin", "new"));
    EXPECT_EQ(Listing(), std::vector<std::string>{"TPEGDATA"});
    EXPECT_EQ(Listing("TPEGDATA"), std::vector<std::string>{"TPCTTL3.BIN"});
    EXPECT_EQ(Contents("TPEGDATA/TPCTTL3.BIN"), "new");
}

TEST_F(DeviceFile, CallsOnAnotherCaseReachTheExistingFileOrFolder) {
    ASSERT_TRUE(CreateDirectory(u"\\Nand", nullptr));
    EXPECT_FALSE(CreateDirectory(u"\\NAND", nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    Put("Nand/Log.txt", "x");
    EXPECT_EQ(GetFileAttributes(u"\\nand\\LOG.TXT"), FILE_ATTRIBUTE_NORMAL);
    EXPECT_TRUE(DeleteFile(u"\\NAND\\log.txt"));
    EXPECT_EQ(Listing("Nand"), std::vector<std::string>{});
}

}  // namespace
