// Text that came from outside the program (the device's identification, a command it did not
// take) on its way to the console. A device, or noise on the line, can send terminal control
// sequences; shown raw on a terminal they would retitle the window, clear the screen or worse.
// A file or a pipe gets the bytes exactly as they came, because scripts read them.
#pragma once

#include <string>
#include <string_view>

namespace tovrel {

// For a terminal: C0 control characters, DEL, the C1 controls (U+0080..U+009F) and bytes that
// are not part of well-formed UTF-8 are shown as "\xNN", one escape a byte; everything else,
// printable ASCII and well-formed UTF-8, is kept. Elsewhere: `raw` unchanged.
std::string TextForConsole(std::string_view raw, bool terminal);

// A value from outside quoted for a one-line message on standard error, which may be a
// terminal: escaped as on a terminal, and cut short after 80 bytes ("...").
std::string QuotedValue(std::string_view value);

// True when `text` is well-formed UTF-8 (plain ASCII is), so that a JSON string can hold it
// byte for byte.
bool IsWellFormedUtf8(std::string_view text);

}  // namespace tovrel
