// Whether the tests run under wine, which lacks a few things Windows has (it does not cut a
// synchronous serial read short, nor append to a file whole when writers race): the tests that
// need them skip themselves there. False on every other system.
#pragma once

namespace tovrel {

bool RunningUnderWine();

}  // namespace tovrel
