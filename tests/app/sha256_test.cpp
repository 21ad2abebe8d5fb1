// The platform's SHA-256 behind our interface (libcrypto, or CNG under wine) against the
// FIPS 180-4 example messages, fed whole and in pieces of every awkward size.
#include "app/sha256.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "tests/support/case_name.h"

namespace tovrel {
namespace {

struct Vector {
  const char* name;
  std::string message;
  const char* digest;
};

class Sha256Vectors : public ::testing::TestWithParam<Vector> {};

TEST_P(Sha256Vectors, GiveTheStandardDigest) {
  const std::string& message = GetParam().message;
  for (const std::size_t piece : {message.size() + 1, std::size_t{1}, std::size_t{63}}) {
    Sha256 hash;
    for (std::size_t at = 0; at < message.size(); at += piece) {
      const std::size_t count = std::min(piece, message.size() - at);
      hash.Update(reinterpret_cast<const std::uint8_t*>(message.data()) + at, count);
    }
    EXPECT_EQ(hash.FinishHex(), GetParam().digest) << "in pieces of " << piece;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Fips180, Sha256Vectors,
    ::testing::Values(
        Vector{"Empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        Vector{"Abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        Vector{"TwoBlocks", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
               "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        Vector{"MillionA", std::string(1000000, 'a'),
               "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"}),
    CaseName());

}  // namespace
}  // namespace tovrel
