// What the tests need to know about the platform they run on.
#pragma once

namespace corvantix::test {

/// True when the Windows build runs under Wine, which does not refuse to
/// replace a read-only or hidden file when it runs as root.
bool under_wine();

} // namespace corvantix::test
