// The port lock on the kernel mutex: re-entrant for its owner, bounded waits for everyone else,
// and the abandoned and failed outcomes the port's Lock tells apart. Real threads, short waits.
#include "serial/win32/win32_serial_api.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <thread>

#include "serial/win32/dcb_conversion.h"
#include "tests/support/sys_result_checks.h"

namespace tovrel {
namespace {

class Win32Lock : public ::testing::Test {
 protected:
  void SetUp() override {
    lock = api.CreateLock();
    ASSERT_NE(lock, kNoMutex);
  }
  void TearDown() override { api.DestroyLock(lock); }

  // Runs `body` on a thread of its own and waits for it to end.
  template <typename Body>
  void OnOtherThread(Body body) {
    std::thread other(body);
    other.join();
  }

  Win32SerialApi api;
  MutexHandle lock = kNoMutex;
};

TEST_F(Win32Lock, OwnerTakesItAgainAndOthersTimeOutUntilEveryTakingIsGivenBack) {
  ASSERT_EQ(api.WaitForLock(lock, 0), WaitResult::kTaken);
  ASSERT_EQ(api.WaitForLock(lock, 100), WaitResult::kTaken);  // no wait: the owner re-enters

  WaitResult seen = WaitResult::kFailed;
  OnOtherThread([&] { seen = api.WaitForLock(lock, 30); });
  EXPECT_EQ(seen, WaitResult::kTimeout);

  EXPECT_TRUE(api.ReleaseLock(lock));
  OnOtherThread([&] { seen = api.WaitForLock(lock, 0); });
  EXPECT_EQ(seen, WaitResult::kTimeout) << "one taking is still held";

  EXPECT_TRUE(api.ReleaseLock(lock));
  bool released_there = false;
  OnOtherThread([&] {
    seen = api.WaitForLock(lock, 0);
    released_there = static_cast<bool>(api.ReleaseLock(lock));
  });
  EXPECT_EQ(seen, WaitResult::kTaken);
  EXPECT_TRUE(released_there);
}

TEST_F(Win32Lock, OnlyTheOwnerCanGiveItBack) {
  EXPECT_TRUE(FailedWith(api.ReleaseLock(lock), static_cast<std::uint32_t>(ERROR_NOT_OWNER)))
      << "not held by anyone";

  ASSERT_EQ(api.WaitForLock(lock, 0), WaitResult::kTaken);
  SysResult released = SysResult::Ok();
  OnOtherThread([&] { released = api.ReleaseLock(lock); });
  EXPECT_TRUE(FailedWith(released, static_cast<std::uint32_t>(ERROR_NOT_OWNER)));
  EXPECT_TRUE(api.ReleaseLock(lock));
}

TEST_F(Win32Lock, ThreadEndingWhileHoldingItLeavesItAbandonedToTheNextTaker) {
  WaitResult taken_there = WaitResult::kFailed;
  OnOtherThread([&] { taken_there = api.WaitForLock(lock, 0); });  // ends without giving it back
  ASSERT_EQ(taken_there, WaitResult::kTaken);

  EXPECT_EQ(api.WaitForLock(lock, 1000), WaitResult::kAbandoned);
  // An abandoned wait still makes the caller the owner.
  EXPECT_TRUE(api.ReleaseLock(lock));
  EXPECT_EQ(api.WaitForLock(lock, 0), WaitResult::kTaken);
  EXPECT_TRUE(api.ReleaseLock(lock));
}

TEST(Win32LockWithoutMutex, WaitOnNoMutexFailsAndDestroyingItIsHarmless) {
  Win32SerialApi api;
  EXPECT_EQ(api.WaitForLock(kNoMutex, 0), WaitResult::kFailed);
  // A wait reports no error number of its own: the system's is as WaitForSingleObject left it.
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(api.ReleaseLock(kNoMutex));
  api.DestroyLock(kNoMutex);
}

TEST(Win32ThreadId, IsThePlatformIdOfTheCallingThread) {
  Win32SerialApi api;
  const std::uint32_t here = api.CurrentThreadId();
  EXPECT_EQ(here, ::GetCurrentThreadId());
  std::uint32_t there = here;
  std::thread other([&] { there = api.CurrentThreadId(); });
  other.join();
  EXPECT_NE(there, here);
}

}  // namespace
}  // namespace tovrel
