// An in-memory firmware file with fault knobs, recording how it is used.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/firmware_file.h"

namespace tovrel::testing {

class MemoryFileSystem final : public FileSystem {
 public:
  std::string path = "image.bin";
  std::string content;
  bool fail_size = false;
  std::optional<std::uint64_t> reported_size;  // a size other than the content's
  int fail_read_on_call = 0;                   // 1-based; 0 = never

  int opens = 0;
  int closes = 0;
  int reads = 0;
  std::uint32_t largest_read = 0;
  std::function<void()> on_close;  // called as the file is closed
  std::function<void()> on_open;   // called as the file is opened

  bool IsOpen() const { return opens > closes; }

  std::unique_ptr<FirmwareFile> OpenForReading(const char* name) override {
    if (name == nullptr || path != name) {
      return nullptr;
    }
    ++opens;
    if (on_open) {
      on_open();
    }
    return std::make_unique<File>(*this);
  }

 private:
  class File final : public FirmwareFile {
   public:
    explicit File(MemoryFileSystem& owner) : owner_(owner) {}
    ~File() override { Close(); }

    bool Size(std::uint64_t& bytes) override {
      if (owner_.fail_size) {
        return false;
      }
      bytes = owner_.reported_size.value_or(owner_.content.size());
      return true;
    }

    bool Read(std::uint8_t* buffer, std::uint32_t capacity, std::uint32_t& bytes_read) override {
      bytes_read = 0;
      ++owner_.reads;
      owner_.largest_read = std::max(owner_.largest_read, capacity);
      if (closed_ || owner_.reads == owner_.fail_read_on_call) {
        return false;
      }
      const std::size_t n = std::min<std::size_t>(capacity, owner_.content.size() - position_);
      std::copy_n(owner_.content.begin() + static_cast<std::ptrdiff_t>(position_), n, buffer);
      position_ += n;
      bytes_read = static_cast<std::uint32_t>(n);
      return true;
    }

    void Close() override {
      if (!closed_) {
        closed_ = true;
        ++owner_.closes;
        if (owner_.on_close) {
          owner_.on_close();
        }
      }
    }

   private:
    MemoryFileSystem& owner_;
    std::size_t position_ = 0;
    bool closed_ = false;
  };
};

}  // namespace tovrel::testing
