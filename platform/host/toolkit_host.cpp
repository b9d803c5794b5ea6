#include "platform/host/toolkit_host.h"

#include <iostream>

namespace corvantix {

void HostToolkit::enable_visual_styles() {}

// Until the host has windows, a message box is written to the error stream
// and answered with its first button.
Toolkit::Answer HostToolkit::message_box(const std::string &text,
                                         const std::string &title,
                                         Buttons buttons) {
  std::cerr << (title.empty() ? "" : "[" + title + "] ") << text << "\n";
  return buttons == Buttons::YesNo ? Answer::Yes : Answer::Ok;
}

} // namespace corvantix
