#include <openssl/evp.h>

#include "app/sha256.h"

namespace tovrel {

struct Sha256::State {
  State() : context(EVP_MD_CTX_new()) {}
  ~State() { EVP_MD_CTX_free(context); }
  State(const State&) = delete;
  State& operator=(const State&) = delete;

  EVP_MD_CTX* context;
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
  failed_ =
      state_->context == nullptr || EVP_DigestInit_ex(state_->context, EVP_sha256(), nullptr) != 1;
}

Sha256::~Sha256() = default;

void Sha256::Update(const std::uint8_t* bytes, std::size_t count) {
  if (failed_ || finished_ || count == 0) {
    return;
  }
  failed_ = EVP_DigestUpdate(state_->context, bytes, count) != 1;
}

std::string Sha256::FinishHex() {
  if (!finished_) {
    finished_ = true;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!failed_ && EVP_DigestFinal_ex(state_->context, digest, &length) == 1 &&
        length * 2 == kSha256HexDigits) {
      hex_ = LowerHex(digest, length);
    }
  }
  return hex_;
}

}  // namespace tovrel
