#include "emulator/pty/modem_line_block.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <new>
#include <utility>

namespace tovrel::pty {
namespace {

ModemLines* Map(int fd) {
  void* address = ::mmap(nullptr, sizeof(ModemLines), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  return address == MAP_FAILED ? nullptr : static_cast<ModemLines*>(address);
}

}  // namespace

ModemLineMapping::~ModemLineMapping() {
  if (lines_ != nullptr) {
    ::munmap(lines_, sizeof(ModemLines));
  }
}

ModemLineMapping::ModemLineMapping(ModemLineMapping&& other) noexcept
    : lines_(std::exchange(other.lines_, nullptr)) {}

ModemLineMapping& ModemLineMapping::operator=(ModemLineMapping&& other) noexcept {
  if (this != &other) {
    ModemLineMapping gone(std::move(*this));
    lines_ = std::exchange(other.lines_, nullptr);
  }
  return *this;
}

ModemLineMapping ModemLineMapping::Create(const std::string& path, dev_t terminal) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    return ModemLineMapping();
  }
  ModemLines* lines = nullptr;
  if (::ftruncate(fd, sizeof(ModemLines)) == 0) {
    void* place = Map(fd);
    if (place != nullptr) {
      // The file is fresh (all zeros); the objects are made in it once, here, and only used
      // through their atomic operations afterwards, by this process and the others. What is not
      // stored here stays 0: the device lines off, no changes, no reads.
      lines = new (place) ModemLines{};
      lines->terminal.store(static_cast<std::uint64_t>(terminal));
      lines->host_lines.store(kHostLineBits);
      lines->ready.store(ModemLines::kReady, std::memory_order_release);
    }
  }
  ::close(fd);
  return ModemLineMapping(lines);
}

ModemLineMapping ModemLineMapping::Open(const char* path) {
  if (path == nullptr || *path == '\0') {
    return ModemLineMapping();
  }
  const int fd = ::open(path, O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    return ModemLineMapping();
  }
  ModemLines* lines = nullptr;
  struct stat info;
  if (::fstat(fd, &info) == 0 && info.st_size >= static_cast<off_t>(sizeof(ModemLines))) {
    lines = Map(fd);
  }
  ::close(fd);
  ModemLineMapping mapping(lines);
  if (lines != nullptr && lines->ready.load(std::memory_order_acquire) != ModemLines::kReady) {
    return ModemLineMapping();
  }
  return mapping;
}

}  // namespace tovrel::pty
