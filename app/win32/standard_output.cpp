#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "app/console.h"

namespace tovrel {

bool StandardOutputIsTerminal() {
  return _isatty(_fileno(stdout)) != 0;
}

void PrepareStandardOutput() {
  std::fflush(stdout);
  (void)_setmode(_fileno(stdout),
                 _O_BINARY);  // a stream that has no mode keeps its bytes as they are
}

}  // namespace tovrel
