#include "platform/host/window_module.h"

#include "platform/system.h"

#include <cstdlib>
#include <filesystem>
#include <iostream>

#include <dlfcn.h>

namespace corvantix {
namespace {

// A build folder has the module beside the program; an installed program
// finds it along the path from its own folder that the build configured.
std::filesystem::path module_path() {
  std::filesystem::path folder = platform::program_folder();
  std::filesystem::path beside = folder / CORVANTIX_MODULE_NAME;
  if (std::filesystem::exists(beside))
    return beside;
  return folder / CORVANTIX_MODULE_FROM_BIN;
}

} // namespace

bool display_named() {
  const char *x11 = std::getenv("DISPLAY");
  const char *wayland = std::getenv("WAYLAND_DISPLAY");
  return (x11 && *x11) || (wayland && *wayland);
}

Toolkit::Answer stream_box(const std::string &text, const std::string &title,
                           Toolkit::Buttons buttons) {
  std::cerr << (title.empty() ? "" : "[" + title + "] ") << text << std::endl;
  return buttons == Toolkit::Buttons::YesNo ? Toolkit::Answer::Yes
                                            : Toolkit::Answer::Ok;
}

// The module stays loaded for the process's life: GTK and GLib cannot be
// unloaded once they have run.
WindowModule::WindowModule() {
  if (!display_named())
    return;
  std::filesystem::path path = module_path();
  if (!std::filesystem::exists(path)) {
    without_ = {"ARGS_NO_WINDOW", {CORVANTIX_WINDOW_PACKAGE}};
    return;
  }
  void *module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  auto *make = module ? reinterpret_cast<MakeToolkit *>(dlsym(module, kMakeToolkit))
                      : nullptr;
  if (!make) {
    without_ = {"ARGS_WINDOW_LOAD", {dlerror()}};
    return;
  }
  windows_.reset(make());
}

WindowModule::~WindowModule() = default;

Toolkit &WindowModule::toolkit() {
  if (windows_)
    return *windows_;
  return stream_;
}

bool WindowModule::windows() const { return windows_ && windows_->has_display(); }

int WindowModule::ending_signal() const {
  return windows_ ? windows_->ending_signal() : 0;
}

} // namespace corvantix
