#include "app/firmware_file.h"

#include <windows.h>

namespace tovrel {
namespace {

class Win32FirmwareFile final : public FirmwareFile {
 public:
  explicit Win32FirmwareFile(HANDLE file) : file_(file) {}
  ~Win32FirmwareFile() override { Close(); }

  Win32FirmwareFile(const Win32FirmwareFile&) = delete;
  Win32FirmwareFile& operator=(const Win32FirmwareFile&) = delete;

  bool Size(std::uint64_t& bytes) override {
    // The whole length, not only its low 32 bits, so that a file of 4 GiB or more is refused
    // instead of being announced with a wrapped size.
    LARGE_INTEGER length;
    if (file_ == INVALID_HANDLE_VALUE || !GetFileSizeEx(file_, &length) || length.QuadPart < 0) {
      return false;
    }
    bytes = static_cast<std::uint64_t>(length.QuadPart);
    return true;
  }

  bool Read(std::uint8_t* buffer, std::uint32_t capacity, std::uint32_t& bytes_read) override {
    bytes_read = 0;
    if (file_ == INVALID_HANDLE_VALUE) {
      return false;
    }
    while (bytes_read < capacity) {
      DWORD got = 0;
      if (!ReadFile(file_, buffer + bytes_read, capacity - bytes_read, &got, nullptr)) {
        return false;
      }
      if (got == 0) {
        break;
      }
      bytes_read += got;
    }
    return true;
  }

  void Close() override {
    if (file_ != INVALID_HANDLE_VALUE) {
      CloseHandle(file_);
      file_ = INVALID_HANDLE_VALUE;
    }
  }

 private:
  HANDLE file_;
};

class Win32FileSystem final : public FileSystem {
 public:
  std::unique_ptr<FirmwareFile> OpenForReading(const char* path) override {
    if (path == nullptr) {
      return nullptr;
    }
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      return nullptr;
    }
    // Only a file on disk is an image: a device name ("NUL", "CON", a COM port) or a pipe is
    // refused. A directory does not open at all without FILE_FLAG_BACKUP_SEMANTICS.
    if (GetFileType(file) != FILE_TYPE_DISK) {
      CloseHandle(file);
      return nullptr;
    }
    return std::make_unique<Win32FirmwareFile>(file);
  }
};

}  // namespace

std::unique_ptr<FileSystem> MakeNativeFileSystem() {
  return std::make_unique<Win32FileSystem>();
}

}  // namespace tovrel
