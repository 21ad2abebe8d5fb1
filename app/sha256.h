// SHA-256 of a stream of bytes, fed piece by piece so that memory stays flat however large the
// image. The hash itself is the platform's: OpenSSL's libcrypto on POSIX, CNG (bcrypt.dll) on
// Windows. Nothing here throws: a failure of the platform's hash shows as an empty digest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace tovrel {

inline constexpr std::size_t kSha256HexDigits = 64;

class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  // Adds `count` bytes to what is hashed.
  void Update(const std::uint8_t* bytes, std::size_t count);
  // The digest of everything added, as 64 lower-case hex digits, or empty when the platform's
  // hash failed at any point. Ends the hash: later calls return the same text.
  std::string FinishHex();

 private:
  struct State;
  std::unique_ptr<State> state_;
  bool failed_ = false;
  bool finished_ = false;
  std::string hex_;
};

// `count` bytes as lower-case hex digits.
inline std::string LowerHex(const std::uint8_t* bytes, std::size_t count) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(count * 2);
  for (std::size_t i = 0; i < count; ++i) {
    hex += kDigits[bytes[i] >> 4];
    hex += kDigits[bytes[i] & 0x0F];
  }
  return hex;
}

}  // namespace tovrel
