// The lock operations of the platform interface built on the C++ standard library, for every
// backend that does not use the operating system's own mutex calls.
#pragma once

#include <cstdint>

#include "serial/serial_api.h"

namespace tovrel {

// A SerialApi whose lock operations are provided; backends derive from it and add the port
// operations.
class SerialApiWithPortableLocks : public SerialApi {
 public:
  MutexHandle CreateLock() override;
  WaitResult WaitForLock(MutexHandle lock, std::uint32_t milliseconds) override;
  SysResult ReleaseLock(MutexHandle lock) override;
  void DestroyLock(MutexHandle lock) override;
  std::uint32_t CurrentThreadId() override;
};

// Small, stable, never all-ones id of the calling thread.
std::uint32_t PortableThreadId();

}  // namespace tovrel
