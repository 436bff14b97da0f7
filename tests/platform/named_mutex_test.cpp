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
    ChildProcess holder("platform_helper", {"mutex", "DmbTpeg"},
                        {{"DMBTPEG_RUNTIME_DIR", m_runtime.Path()}});
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

TEST_F(NamedMutex, OwnershipIsRecursiveAndReleasedByItsOwnerOnly) {
    UniqueHandle mutex(CreateMutex(nullptr, TRUE, nullptr));
    EXPECT_EQ(WaitForSingleObject(mutex.Get(), 0), WAIT_OBJECT_0);
    DWORD otherResult = 0;
    BOOL otherRelease = TRUE;
    std::thread other([&] {
        otherResult = WaitForSingleObject(mutex.Get(), 0);
        otherRelease = ReleaseMutex(mutex.Get());
    });
    other.join();
    EXPECT_EQ(otherResult, WAIT_TIMEOUT);
    EXPECT_FALSE(otherRelease);
    EXPECT_TRUE(ReleaseMutex(mutex.Get()));
    EXPECT_TRUE(ReleaseMutex(mutex.Get()));
    EXPECT_FALSE(ReleaseMutex(mutex.Get()));
}

DWORD TakeAndEnd(void* mutex) {
    return WaitForSingleObject(static_cast<HANDLE>(mutex), 0);
}

TEST_F(NamedMutex, AMutexWhoseOwnerEndedGoesAbandonedToTheNextWaiter) {
    UniqueHandle mutex(CreateMutex(nullptr, FALSE, nullptr));
    UniqueHandle owner(CreateThread(nullptr, 0, &TakeAndEnd, mutex.Get(), 0, nullptr));
    ASSERT_EQ(WaitForSingleObject(owner.Get(), INFINITE), WAIT_OBJECT_0);
    DWORD took = 0;
    ASSERT_TRUE(GetExitCodeThread(owner.Get(), &took));
    ASSERT_EQ(took, WAIT_OBJECT_0);

    EXPECT_EQ(WaitForSingleObject(mutex.Get(), 0), WAIT_ABANDONED_0);
    // The waiter owns it now, as with any successful wait.
    DWORD otherResult = 0;
    std::thread other([&] { otherResult = WaitForSingleObject(mutex.Get(), 0); });
    other.join();
    EXPECT_EQ(otherResult, WAIT_TIMEOUT);
    EXPECT_TRUE(ReleaseMutex(mutex.Get()));
    EXPECT_EQ(WaitForSingleObject(mutex.Get(), 0), WAIT_OBJECT_0) << "abandoned only once";
    EXPECT_TRUE(ReleaseMutex(mutex.Get()));
}

TEST_F(NamedMutex, AThreadWaitingWhenTheOwnerEndsGetsItAbandonedWithItsIndex) {
    UniqueHandle mutex(CreateMutex(nullptr, FALSE, nullptr));
    UniqueHandle never(CreateEvent(nullptr, TRUE, FALSE, nullptr));
    UniqueHandle taken(CreateEvent(nullptr, TRUE, FALSE, nullptr));
    UniqueHandle end(CreateEvent(nullptr, TRUE, FALSE, nullptr));
    // Not made by CreateThread: any thread that ends abandons what it owns.
    std::thread owner([&] {
        WaitForSingleObject(mutex.Get(), INFINITE);
        SetEvent(taken.Get());
        WaitForSingleObject(end.Get(), INFINITE);
    });
    ASSERT_EQ(WaitForSingleObject(taken.Get(), INFINITE), WAIT_OBJECT_0);
    std::thread ender([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        SetEvent(end.Get());
    });
    const HANDLE handles[] = {never.Get(), mutex.Get()};
    EXPECT_EQ(WaitForMultipleObjects(2, handles, FALSE, 5000), WAIT_ABANDONED_0 + 1);
    owner.join();
    ender.join();
    EXPECT_TRUE(ReleaseMutex(mutex.Get()));
}

TEST_F(NamedMutex, AWaitForAllReportsTheAbandonedMutexAmongTheObjects) {
    UniqueHandle set(CreateEvent(nullptr, TRUE, TRUE, nullptr));
    UniqueHandle mutex(CreateMutex(nullptr, FALSE, nullptr));
    std::thread([&] { WaitForSingleObject(mutex.Get(), 0); }).join();
    const HANDLE handles[] = {set.Get(), mutex.Get()};
    EXPECT_EQ(WaitForMultipleObjects(2, handles, TRUE, 0), WAIT_ABANDONED_0 + 1);
    EXPECT_TRUE(ReleaseMutex(mutex.Get()));
}

TEST_F(NamedMutex, ANamedMutexCreatedOwnedByAThreadThatEndedIsAbandoned) {
    HANDLE first = nullptr;
    std::thread([&] { first = CreateMutex(nullptr, TRUE, u"DmbTpegAbandoned"); }).join();
    ASSERT_NE(first, nullptr);
    UniqueHandle firstHandle(first);
    UniqueHandle second(CreateMutex(nullptr, FALSE, u"DmbTpegAbandoned"));
    ASSERT_NE(second.Get(), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(WaitForSingleObject(second.Get(), 0), WAIT_ABANDONED_0);
    EXPECT_TRUE(ReleaseMutex(first));
}

}  // namespace
