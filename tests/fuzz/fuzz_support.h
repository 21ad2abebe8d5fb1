// What every fuzz target shares: a property that does not hold stops the run with a report (and
// libFuzzer keeps the input that broke it), and a count of the heap bytes in use, so that a
// target can bound the memory the code under test holds.
#pragma once

#include <cstddef>

#define TOVREL_FUZZ_CHECK(condition)  \
  ((condition) ? static_cast<void>(0) \
               : ::tovrel::fuzz::PropertyFailed(#condition, __FILE__, __LINE__))

namespace tovrel::fuzz {

[[noreturn]] void PropertyFailed(const char* condition, const char* file, int line);

// Bytes obtained through operator new and not yet given back, across the whole program.
std::size_t HeapBytesInUse();

}  // namespace tovrel::fuzz
