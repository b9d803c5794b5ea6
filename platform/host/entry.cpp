// Entry point of the host build.
#include "app/startup.h"
#include "platform/host/toolkit_host.h"

int main(int argc, char **argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  corvantix::HostToolkit toolkit;
  return corvantix::app_main(args, toolkit);
}
