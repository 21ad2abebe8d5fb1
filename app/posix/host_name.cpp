#include <unistd.h>

#include "app/host_name.h"

namespace tovrel {

std::string HostName() {
  // One byte more than gethostname may fill, so that a cut name still ends in a zero.
  char name[256] = {};
  return ::gethostname(name, sizeof name - 1) == 0 ? std::string(name) : std::string();
}

}  // namespace tovrel
