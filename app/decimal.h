#pragma once

#include <cstddef>
#include <cstdint>

namespace tovrel {

// Reads a decimal number the way the command line's baud rate and the inquiry header's count are
// read: leading white space (blank, \t, \n, \v, \f, \r) is skipped, one optional '+' or '-' is
// taken, then digits up to the first byte that is not a digit. Text with no digits reads as 0.
// The value is kept in 32 bits with no overflow check: extra digits wrap around modulo 2^32, so
// "4294967296" reads as 0 and "2147483648" as INT32_MIN. A null pointer reads as 0.
std::int32_t ParseDecimal(const char* text);

// The same reading over a run of exactly `length` bytes; never looks at bytes past the run, so it
// is safe on a header field that is not zero-terminated. A null pointer reads as 0.
std::int32_t ParseDecimal(const std::uint8_t* bytes, std::size_t length);

}  // namespace tovrel
