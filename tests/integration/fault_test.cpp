// The service under faults: a misbehaving tuner, decoder libraries that
// cannot start, a navigation application that freezes or dies in the middle
// of a delivery, a data folder without space. Each run ends with the service
// answering its own shutdown, and no announcement or file lost or half done.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>

#include "platform/message_queue.h"
#include "platform/window.h"
#include "tests/integration/demo_broadcast.h"
#include "tests/integration/demo_service_test.h"
#include "tests/integration/service_process.h"
#include "tests/support/bus_test.h"
#include "tests/support/time_scale.h"

using testsupport::ChildProcess;
using testsupport::WaitUntil;
namespace fs = std::filesystem;

namespace {

constexpr auto kPatience = testsupport::kServicePatience;
using testsupport::Occurrences;

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Name and bytes of every file in the data folder.
std::map<std::string, std::string> DataFiles(const fs::path& folder) {
    std::map<std::string, std::string> files;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        files[entry.path().filename().string()] = ReadAll(entry.path());
    }
    return files;
}

// Counts the data files the decoder puts in place under their final names
// (each one a rename into the folder), from before the service starts.
class DataFileWrites {
  public:
    explicit DataFileWrites(const std::string& folder)
        : m_fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        fs::create_directories(folder);
        ::inotify_add_watch(m_fd, folder.c_str(), IN_MOVED_TO);
    }
    ~DataFileWrites() { ::close(m_fd); }
    DataFileWrites(const DataFileWrites&) = delete;
    DataFileWrites& operator=(const DataFileWrites&) = delete;

    std::size_t Count() {
        alignas(inotify_event) char buffer[4096];
        for (ssize_t n; (n = ::read(m_fd, buffer, sizeof buffer)) > 0;) {
            for (ssize_t at = 0; at < n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                m_count += event->len > 0 && event->name[0] != '.' ? 1 : 0;
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        return m_count;
    }

  private:
    int m_fd;
    std::size_t m_count = 0;
};

class ServiceUnderFaults : public testsupport::DemoServiceTest {
  protected:
    // The service's own stop: SIGTERM, answered with a clean exit.
    void StopService() {
        m_service->Signal(SIGTERM);
        ASSERT_EQ(m_service->Wait(kPatience), 0) << "the service did not end";
        EXPECT_NE(m_env.Log().find("[Lumo DMB] DestoryWindow Call!\r\n"), std::string::npos);
    }
    static std::size_t Files(const ChildProcess& navmon) {
        return Occurrences(navmon.Output(), "{\"event\":\"file\"");
    }
    // Announcements the service made: it logs each path once its send returned.
    bool LogHas(const std::string& text) const { return m_env.WaitForLog(text, kPatience); }
};

TEST_F(ServiceUnderFaults, TunerThatFailsAndLiesForAWhileIsRetriedAndReceptionRecovers) {
    auto navmon = StartNavigationApplication();
    StartService(0.1,
                 {{"DMBTPEG_DEVICE_FAULTS", "tune=fail:3,readback=wrong:2,signal=wrong:10@6"}});
    // Failed tunes and wrong read-backs are tuning passes that did not take.
    ASSERT_TRUE(LogHas("[TDMB device] fault tune=fail:3 ends\r\n"));
    ASSERT_TRUE(LogHas("[TDMBPlayer] Frequency is different(183009, 183008)\r\n"));
    ASSERT_TRUE(LogHas("[TDMB device] fault readback=wrong:2 ends\r\n"));
    ASSERT_TRUE(
        WaitUntil([&] { return States(*navmon, 1) >= 1 && Files(*navmon) >= 1; }, kPatience));
    // A signal reported absent while frames flow: the navigation application
    // hears "no signal", and "available" again once the reports are right.
    ASSERT_TRUE(LogHas("[LUMO DMB] NoSignal true \r\n"));
    ASSERT_TRUE(LogHas("[TDMB device] fault signal=wrong:10@6 ends\r\n"));
    EXPECT_GE(States(*navmon, 0), 1u);
    const std::size_t available = States(*navmon, 1);
    const std::size_t files = Files(*navmon);
    EXPECT_TRUE(WaitUntil([&] { return States(*navmon, 1) > available; }, kPatience));
    EXPECT_TRUE(WaitUntil([&] { return Files(*navmon) > files; }, kPatience));
    StopService();
}

TEST_F(ServiceUnderFaults, DecoderLibrariesThatCannotStartLeaveTheServiceRunning) {
    // The data folder's name is taken by a file: the TPEG library cannot set
    // up its folder and initialisation fails.
    { std::ofstream(m_env.Root("unit/TPEGDATA")) << "not a folder"; }
    auto navmon = StartNavigationApplication();
    StartService();
    ASSERT_TRUE(LogHas("Tpeg data file folder 생성에러\r\n"));
    ChildProcess status("dmbtpeg-navmon", {"--request", "status"}, ServiceEnv());
    EXPECT_EQ(status.Wait(kPatience), 0) << status.Errors();
    EXPECT_TRUE(m_service->Running());
    StopService();
    EXPECT_EQ(Files(*navmon), 0u);
    fs::remove(m_env.Root("unit/TPEGDATA"));

    // A TDC library that is not a library at all: the service runs without it.
    fs::create_directories(m_env.Root("prog/bin"));
    fs::create_directories(m_env.Root("prog/lib"));
    fs::copy_file(testsupport::BinDir() + "/dmbtpegd", m_env.Root("prog/bin/dmbtpegd"));
    { std::ofstream(m_env.Root("prog/lib/libTdcdec.so")) << "damaged"; }
    StartService(0.1, {}, m_env.Root("prog/bin/dmbtpegd"));
    ASSERT_TRUE(LogHas("Decoder library libTdcdec.so not available"));
    ChildProcess again("dmbtpeg-navmon", {"--request", "status"}, ServiceEnv());
    EXPECT_EQ(again.Wait(kPatience), 0) << again.Errors();
    EXPECT_TRUE(m_service->Running());
    StopService();
    EXPECT_EQ(Files(*navmon), 0u);
}

TEST_F(ServiceUnderFaults, FrozenNavigationApplicationCostsOneBoundedWaitAndGetsLaterFiles) {
    DataFileWrites writes(m_env.Root("unit/TPEGDATA"));
    auto navmon = StartNavigationApplication();
    StartService();
    ASSERT_TRUE(WaitUntil([&] { return Files(*navmon) >= 1; }, kPatience));

    // Frozen in a delivery: the send gives up, the file is logged as not
    // delivered, and the service goes on (its status request is answered).
    navmon->Signal(SIGSTOP);
    ASSERT_TRUE(LogHas("TPEG file not delivered: [Rovan] did not answer\r\n")) << m_env.Log();
    ChildProcess status("dmbtpeg-navmon", {"--request", "status"}, ServiceEnv());
    EXPECT_EQ(status.Wait(kPatience), 0) << status.Errors();
    // Back again: the announcements it answers late clear the wait, and
    // later files reach it.
    navmon->Signal(SIGCONT);
    const std::size_t seen = Files(*navmon);
    EXPECT_TRUE(WaitUntil([&] { return Files(*navmon) >= seen + 2; }, kPatience)) << m_env.Log();

    // Frozen again, then ended: the stop signal is not held up by it.
    navmon->Signal(SIGSTOP);
    ASSERT_TRUE(WaitUntil([&] { return Occurrences(m_env.Log(), "TPEG file not delivered") >= 2; },
                          kPatience));
    StopService();
    navmon->Signal(SIGCONT);

    // Killed while frozen in a delivery: the send fails at once, the service
    // carries on and announces later files to the restarted application.
    const std::size_t announced = Files(*navmon);
    StartService();
    ASSERT_TRUE(WaitUntil([&] { return Files(*navmon) > announced; }, kPatience));
    navmon->Signal(SIGSTOP);
    // A file written after the freeze is being, or about to be, announced.
    const std::size_t written = writes.Count();
    ASSERT_TRUE(WaitUntil([&] { return writes.Count() > written; }, kPatience));
    navmon->Signal(SIGKILL);
    navmon->Wait(kPatience);
    ASSERT_TRUE(
        WaitUntil([] { return platform::FindWindow(nullptr, u"Rovan") == nullptr; }, kPatience));
    auto restarted = StartNavigationApplication();
    EXPECT_TRUE(WaitUntil([&] { return Files(*restarted) >= 2; }, kPatience)) << m_env.Log();
    EXPECT_TRUE(m_service->Running());
    StopService();
}

// Without the bus nothing can be announced: the service shuts down and asks
// for a restart rather than run on deaf.
TEST_F(ServiceUnderFaults, LostBusEndsTheServiceWithAStatusForARestart) {
    StartService();
    ASSERT_NE(ServiceWindow(), nullptr);
    m_bus.Stop();
    EXPECT_EQ(m_service->Wait(kPatience), 69) << m_env.Log();
    const std::string log = m_env.Log();
    EXPECT_NE(log.find("[Lumo DMB] bus connection lost: the service ends to be started again\r\n"),
              std::string::npos);
    EXPECT_NE(log.find("[Lumo DMB] DestoryWindow Call!\r\n"), std::string::npos) << log;
}

TEST_F(ServiceUnderFaults, StopSignalEndsTheServiceBehindAFullMessageQueue) {
    auto navmon = StartNavigationApplication();
    StartService();
    platform::HWND service = ServiceWindow();
    ASSERT_NE(service, nullptr);
    for (int i = 0; i < 12000; ++i) {
        platform::PostMessage(service, platform::WM_USER + 77, 0, 0);
    }
    StopService();
}

// A small file system of its own on the data folder, filled up.
class FullDataFolder {
  public:
    explicit FullDataFolder(std::string folder) : m_folder(std::move(folder)) {
        fs::create_directories(m_folder);
        if (::geteuid() != 0) {
            m_why = "needs root to mount a tmpfs on the data folder";
            return;
        }
        if (::mount("dmbtpeg-full", m_folder.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=256k") !=
            0) {
            m_why = std::string("mount of a tmpfs not permitted here: ") + std::strerror(errno);
            return;
        }
        m_mounted = true;
        std::ofstream filler(m_folder + "/filler", std::ios::binary);
        const std::string block(4096, 'x');
        while (filler.write(block.data(), static_cast<std::streamsize>(block.size()))) {
            filler.flush();
        }
    }
    ~FullDataFolder() {
        if (m_mounted) {
            ::umount2(m_folder.c_str(), MNT_DETACH);
        }
    }
    FullDataFolder(const FullDataFolder&) = delete;
    FullDataFolder& operator=(const FullDataFolder&) = delete;

    const std::string& WhyNot() const { return m_why; }
    void MakeRoom() { fs::remove(m_folder + "/filler"); }

  private:
    std::string m_folder;
    std::string m_why;
    bool m_mounted = false;
};

TEST_F(ServiceUnderFaults, FullDataFolderLeavesNoHalfFileAndDecodingResumesWithSpace) {
    FullDataFolder full(m_env.Root("unit/TPEGDATA"));
    if (!full.WhyNot().empty()) {
        GTEST_SKIP() << full.WhyNot();
    }
    auto navmon = StartNavigationApplication();
    StartService();
    ASSERT_TRUE(LogHas("TPEG data file not written: \\TPEGDATA\\"));
    const std::regex diskFull(
        R"(TPEG data file not written: \\TPEGDATA\\TP\w+\.BIN \(error 29\)\r\n)");
    EXPECT_TRUE(std::regex_search(m_env.Log(), diskFull)) << m_env.Log();
    EXPECT_EQ(Files(*navmon), 0u);
    EXPECT_EQ(DataFiles(m_env.Root("unit/TPEGDATA")).size(), 1u) << "only the filler";
    full.MakeRoom();
    ASSERT_TRUE(WaitUntil([&] { return Files(*navmon) >= 3; }, kPatience));
    StopService();

    const auto contents = testsupport::BroadcastMessages(m_env.Root("air/183008.eti"));
    for (const auto& [name, bytes] : DataFiles(m_env.Root("unit/TPEGDATA"))) {
        EXPECT_EQ(name.find(".tmp"), std::string::npos) << "left behind: " << name;
        EXPECT_TRUE(testsupport::HoldsBroadcastMessages(bytes, contents))
            << name << " holds messages the broadcast never carried";
    }
}

}  // namespace
