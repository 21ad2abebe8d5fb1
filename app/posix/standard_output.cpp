#include <unistd.h>

#include <cstdio>

#include "app/console.h"

namespace tovrel {

bool StandardOutputIsTerminal() {
  return isatty(fileno(stdout)) != 0;
}

void PrepareStandardOutput() {}  // no text mode to leave

}  // namespace tovrel
