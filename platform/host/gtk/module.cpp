// The window module's entry (see platform/host/window_module.h). The rest
// of the system code it uses is the program's own, which the program
// exports to it.
#include "platform/host/gtk/toolkit_host.h"
#include "platform/host/window_module.h"

#include <type_traits>

extern "C" corvantix::WindowToolkit *corvantix_make_toolkit() {
  return new corvantix::HostToolkit;
}

static_assert(std::is_same_v<decltype(corvantix_make_toolkit), corvantix::MakeToolkit>);
