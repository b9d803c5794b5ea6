#include "app/startup.h"

namespace corvantix {

// The windows are not built yet: every mode ends at once with success.
int run_mode(const StartupValues &, Process &, Toolkit &) { return 0; }

} // namespace corvantix
