// Reads a fuzz input as a script: small numbers and runs of bytes taken from the front, with
// zeros once the input is used up, so that every input is a complete script.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tovrel::fuzz {

class FuzzInput {
 public:
  FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool Empty() const { return position_ >= size_; }
  std::size_t Remaining() const { return size_ - position_; }

  std::uint8_t Byte() { return Empty() ? std::uint8_t{0} : data_[position_++]; }
  bool Bit() { return (Byte() & 1u) != 0; }
  std::uint16_t Number16() {
    const std::uint16_t high = Byte();
    return static_cast<std::uint16_t>((high << 8) | Byte());
  }
  std::uint32_t Number32() {
    const std::uint32_t high = Number16();
    return (high << 16) | Number16();
  }
  // A number from 0 to `limit` inclusive.
  std::uint32_t Below(std::uint32_t limit) {
    const std::uint32_t raw = limit < 256u ? Byte() : limit < 65536u ? Number16() : Number32();
    return limit == 0xFFFFFFFFu ? raw : raw % (limit + 1u);
  }
  // Up to `count` bytes, fewer when the input ends first.
  std::vector<std::uint8_t> Bytes(std::size_t count) {
    const std::size_t taken = count < Remaining() ? count : Remaining();
    std::vector<std::uint8_t> bytes(data_ + position_, data_ + position_ + taken);
    position_ += taken;
    return bytes;
  }
  // A run whose length comes first, as one byte.
  std::vector<std::uint8_t> SizedBytes() { return Bytes(Byte()); }
  std::vector<std::uint8_t> Rest() { return Bytes(Remaining()); }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t position_ = 0;
};

}  // namespace tovrel::fuzz
