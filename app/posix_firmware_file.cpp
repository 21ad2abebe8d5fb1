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
  std::unique_ptr<FirmwareFile> OpenForReading(const char* path) override {
    if (path == nullptr) {
      return nullptr;
    }
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      return nullptr;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
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
