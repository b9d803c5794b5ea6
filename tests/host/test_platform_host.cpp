#include "unit/test_platform.h"

namespace corvantix::test {

bool under_wine() { return false; }

} // namespace corvantix::test
