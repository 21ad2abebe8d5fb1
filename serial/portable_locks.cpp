#include "serial/portable_locks.h"

#include <cerrno>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace tovrel {
namespace {

// A mutex that its owner may take again and that is free once each taking has been given back.
class RecursiveLock {
 public:
  WaitResult Wait(std::uint32_t milliseconds) {
    const std::uint32_t me = PortableThreadId();
    std::unique_lock<std::mutex> guard(mutex_);
    auto available = [&] { return depth_ == 0 || owner_ == me; };
    if (milliseconds == INFINITE) {
      released_.wait(guard, available);
    } else if (!released_.wait_for(guard, std::chrono::milliseconds(milliseconds), available)) {
      return WaitResult::kTimeout;
    }
    owner_ = me;
    ++depth_;
    return WaitResult::kTaken;
  }

  bool Release() {
    std::lock_guard<std::mutex> guard(mutex_);
    if (depth_ == 0 || owner_ != PortableThreadId()) {
      return false;
    }
    if (--depth_ == 0) {
      released_.notify_one();
    }
    return true;
  }

 private:
  std::mutex mutex_;
  std::condition_variable released_;
  std::uint32_t owner_ = 0;
  unsigned depth_ = 0;
};

RecursiveLock* FromHandle(MutexHandle lock) {
  return reinterpret_cast<RecursiveLock*>(lock);
}

}  // namespace

std::uint32_t PortableThreadId() {
  static std::atomic<std::uint32_t> next_id{1};
  thread_local const std::uint32_t id = next_id.fetch_add(1);
  return id;
}

MutexHandle SerialApiWithPortableLocks::CreateLock() {
  return reinterpret_cast<MutexHandle>(new RecursiveLock());
}

WaitResult SerialApiWithPortableLocks::WaitForLock(MutexHandle lock, std::uint32_t milliseconds) {
  if (lock == kNoMutex) {
    return WaitResult::kFailed;
  }
  return FromHandle(lock)->Wait(milliseconds);
}

SysResult SerialApiWithPortableLocks::ReleaseLock(MutexHandle lock) {
  // A lock the calling thread does not hold: EPERM, as pthread_mutex_unlock says it.
  return lock != kNoMutex && FromHandle(lock)->Release() ? SysResult::Ok()
                                                         : SysResult::Failed(EPERM);
}

void SerialApiWithPortableLocks::DestroyLock(MutexHandle lock) {
  delete FromHandle(lock);
}

std::uint32_t SerialApiWithPortableLocks::CurrentThreadId() {
  return PortableThreadId();
}

}  // namespace tovrel
