// Read-only access to the firmware image. The update reads it piece by piece and never holds
// more than one piece, so an interface small enough to fake in tests is all it needs.
#pragma once

#include <cstdint>
#include <memory>

namespace tovrel {

class FirmwareFile {
 public:
  virtual ~FirmwareFile() = default;

  // The file's whole length in bytes.
  virtual bool Size(std::uint64_t& bytes) = 0;
  // Reads up to `capacity` bytes at the current position. Fewer bytes than asked for only at
  // the end of the file; 0 at the end.
  virtual bool Read(std::uint8_t* buffer, std::uint32_t capacity, std::uint32_t& bytes_read) = 0;
  // Gives the file back to the system; reads fail afterwards. Safe to call more than once.
  virtual void Close() = 0;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // Opens an existing file for reading, sharing it with other readers. nullptr on failure.
  virtual std::unique_ptr<FirmwareFile> OpenForReading(const char* path) = 0;
};

// The file system of the platform the program was built for.
std::unique_ptr<FileSystem> MakeNativeFileSystem();

}  // namespace tovrel
