// The host build's windows are a module of their own, in the desktop
// package: GTK, WebKitGTK and X11 are loaded only when a window may open,
// so the program itself needs none of them. Without the module, or without
// a display, the program works on the terminal.
#pragma once

#include "app/arguments.h"
#include "ui/toolkit.h"

#include <memory>
#include <string>

namespace corvantix {

/// The toolkit that the window module makes (platform/host/gtk). The
/// program knows it by this interface only: the module's own types stay
/// in the module.
class WindowToolkit : public Toolkit {
public:
  /// True when windows can be shown.
  virtual bool has_display() const = 0;
  /// The first of SIGTERM, SIGINT, SIGHUP that asked the program to end,
  /// or 0.
  virtual int ending_signal() const = 0;
};

/// The module's one entry, a C function of this name and type: a new
/// toolkit, which opens the display if it can. The caller owns it.
using MakeToolkit = WindowToolkit *();
inline constexpr char kMakeToolkit[] = "corvantix_make_toolkit";

/// Whether a display is named (DISPLAY, WAYLAND_DISPLAY): without one no
/// window is tried.
bool display_named();

/// A box as a line on the error stream ("[title] text"), answered with its
/// first button.
Toolkit::Answer stream_box(const std::string &text, const std::string &title,
                           Toolkit::Buttons buttons);

/// The toolkit of a program that shows no window: boxes go to the error
/// stream.
class StreamToolkit : public Toolkit {
public:
  void enable_visual_styles() override {}
  Answer message_box(const std::string &text, const std::string &title,
                     Buttons buttons) override {
    return stream_box(text, title, buttons);
  }
};

/// The toolkit of this start of the program.
class WindowModule {
public:
  /// Loads the module when a display is named (DISPLAY, WAYLAND_DISPLAY):
  /// the one beside the program in a build folder, else the installed one.
  WindowModule();
  ~WindowModule();
  WindowModule(const WindowModule &) = delete;
  WindowModule &operator=(const WindowModule &) = delete;

  Toolkit &toolkit();
  /// True when windows can be shown.
  bool windows() const;
  /// The signal that asked the program to end while a window ran, or 0.
  int ending_signal() const;
  /// Why no window can be shown: the language key of the line that says
  /// so, with its values.
  const ArgumentError &without_windows() const { return without_; }

private:
  StreamToolkit stream_;
  std::unique_ptr<WindowToolkit> windows_;
  ArgumentError without_{"ARGS_NO_DISPLAY", {}};
};

} // namespace corvantix
