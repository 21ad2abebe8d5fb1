// CNG's hash objects take the data piece by piece (BCryptHashData), so that the image never has
// to be held whole; the one-shot BCryptHash would need it in memory.
#include <windows.h>
// windows.h first: bcrypt.h builds on its types.
#include <bcrypt.h>

#include "app/sha256.h"

namespace tovrel {
namespace {

constexpr ULONG kDigestBytes = 32;

bool Succeeded(NTSTATUS status) {
  return status >= 0;
}

}  // namespace

struct Sha256::State {
  State() {
    // With no buffer of ours for the hash object, the system keeps it (Windows 7 and later).
    ok = Succeeded(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) &&
         Succeeded(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0));
  }
  ~State() {
    if (hash != nullptr) {
      BCryptDestroyHash(hash);
    }
    if (algorithm != nullptr) {
      BCryptCloseAlgorithmProvider(algorithm, 0);
    }
  }
  State(const State&) = delete;
  State& operator=(const State&) = delete;

  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool ok = false;
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
  failed_ = !state_->ok;
}

Sha256::~Sha256() = default;

void Sha256::Update(const std::uint8_t* bytes, std::size_t count) {
  // BCryptHashData takes at most 4 GiB - 1 at a time.
  constexpr std::size_t kLargestPiece = 0x80000000u;
  while (!failed_ && !finished_ && count > 0) {
    const std::size_t piece = count < kLargestPiece ? count : kLargestPiece;
    failed_ = !Succeeded(
        BCryptHashData(state_->hash, const_cast<PUCHAR>(bytes), static_cast<ULONG>(piece), 0));
    bytes += piece;
    count -= piece;
  }
}

std::string Sha256::FinishHex() {
  if (!finished_) {
    finished_ = true;
    UCHAR digest[kDigestBytes];
    if (!failed_ && Succeeded(BCryptFinishHash(state_->hash, digest, kDigestBytes, 0))) {
      hex_ = LowerHex(digest, kDigestBytes);
    }
  }
  return hex_;
}

}  // namespace tovrel
