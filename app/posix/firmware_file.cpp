#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "app/firmware_file.h"

namespace tovrel {
namespace {

class PosixFirmwareFile final : public FirmwareFile {
 public:
  explicit PosixFirmwareFile(int fd) : fd_(fd) {}
  ~PosixFirmwareFile() override { Close(); }

  PosixFirmwareFile(const PosixFirmwareFile&) = delete;
  PosixFirmwareFile& operator=(const PosixFirmwareFile&) = delete;

  bool Size(std::uint64_t& bytes) override {
    struct stat info {};
    if (fd_ < 0 || fstat(fd_, &info) != 0 || info.st_size < 0) {
      return false;
    }
    bytes = static_cast<std::uint64_t>(info.st_size);
    return true;
  }

  bool Read(std::uint8_t* buffer, std::uint32_t capacity, std::uint32_t& bytes_read) override {
    bytes_read = 0;
    if (fd_ < 0) {
      return false;
    }
    // read() may return less than asked for before the end; keep going until the piece is
    // full so that a short piece always means the end of the file.
    while (bytes_read < capacity) {
      const ssize_t n = ::read(fd_, buffer + bytes_read, capacity - bytes_read);
      if (n < 0) {
        if (errno == EINTR) {
          continue;
        }
        return false;
      }
      if (n == 0) {
        break;
      }
      bytes_read += static_cast<std::uint32_t>(n);
    }
    return true;
  }

  void Close() override {
    if (fd_ >= 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }

 private:
  int fd_;
};

class PosixFileSystem final : public FileSystem {
 public:
  // Only a regular file is an image. A FIFO, a device, a socket or a directory is refused
  // without waiting: looked at before it is opened (a serial device raises its modem lines on
  // open), opened without blocking (a FIFO nobody writes to would block the open for good), and
  // looked at again once open, in case the name came to mean something else in between.
  std::unique_ptr<FirmwareFile> OpenForReading(const char* path) override {
    if (path == nullptr) {
      return nullptr;
    }
    struct stat named {};
    if (::stat(path, &named) != 0 || !S_ISREG(named.st_mode)) {
      return nullptr;
    }
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
      return nullptr;
    }
    struct stat opened {};
    const int flags = ::fcntl(fd, F_GETFL);
    if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode) || flags < 0 ||
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
      ::close(fd);
      return nullptr;
    }
    return std::make_unique<PosixFirmwareFile>(fd);
  }
};

}  // namespace

std::unique_ptr<FileSystem> MakeNativeFileSystem() {
  return std::make_unique<PosixFileSystem>();
}

}  // namespace tovrel
