#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <thread>

#include "platform/kernel.h"
#include "platform/text.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

using namespace platform;
using testsupport::ChildProcess;

namespace {

class NamedMutex : public testing::Test {
protected:
    testsupport::TempDir m_runtime;
    testsupport::ScopedEnv m_env{"DMBTPEG_RUNTIME_DIR", m_runtime.Path()};
};

TEST_F(NamedMutex, SecondCreateInTheSameProcessReportsAlreadyExists) {
    HANDLE first = CreateMutex(nullptr, TRUE, u"DmbTpeg");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    HANDLE second = CreateMutex(nullptr, TRUE, u"DmbTpeg");
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    CloseHandle(second);
    CloseHandle(first);
    // Closing the last handle removes the name.
    HANDLE again = CreateMutex(nullptr, TRUE, u"DmbTpeg");
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    CloseHandle(again);
}

TEST_F(NamedMutex, IsSeenFromAnotherProcessUntilThatProcessEnds) {
    ChildProcess holder("platform_helper", {"mutex", "DmbTpeg"}, {{"DMBTPEG_RUNTIME_DIR", m_runtime.Path()}});
    ASSERT_TRUE(holder.WaitForOutput("held 0\n", std::chrono::seconds(20))) << holder.Errors();

    HANDLE mine = CreateMutex(nullptr, TRUE, u"DmbTpeg");
    ASSERT_NE(mine, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    CloseHandle(mine);

    // A process that dies lets go of the name with its file descriptors.
    holder.Signal(SIGKILL);
    ASSERT_TRUE(holder.Wait(std::chrono::seconds(20)).has_value());
    mine = CreateMutex(nullptr, TRUE, u"DmbTpeg");
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    CloseHandle(mine);
}

TEST_F(NamedMutex, NamesWithPathCharactersStayInsideTheRuntimeFolder) {
    HANDLE odd = CreateMutex(nullptr, FALSE, u"../evil/name");
    ASSERT_NE(odd, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    HANDLE other = CreateMutex(nullptr, FALSE, u"..%2Fevil%2Fname");
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS) << "distinct names must not collide";
    CloseHandle(other);
    CloseHandle(odd);
}

}  // namespace
