#include "tests/support/wine.h"

namespace tovrel {

bool RunningUnderWine() {
  return false;
}

}  // namespace tovrel
