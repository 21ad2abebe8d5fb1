#include <windows.h>

#include "app/host_name.h"

namespace tovrel {

std::string HostName() {
  char name[256] = {};
  DWORD size = sizeof name;
  return ::GetComputerNameExA(ComputerNameDnsHostname, name, &size) ? std::string(name, size)
                                                                    : std::string();
}

}  // namespace tovrel
