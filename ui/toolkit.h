// The window toolkit services that the system relies on. The product uses
// native Win32; the host build uses GTK; tests use a scripted toolkit.
#pragma once

#include <string>

namespace corvantix {

class Toolkit {
public:
  enum class Buttons { Ok, YesNo };
  enum class Answer { Ok, Yes, No };

  virtual ~Toolkit() = default;

  /// Turns on the platform's visual styles; called once before any window.
  virtual void enable_visual_styles() = 0;

  /// A modal message box without an owner window; blocks the calling thread
  /// until the user dismisses it.
  virtual Answer message_box(const std::string &text, const std::string &title,
                             Buttons buttons) = 0;
};

} // namespace corvantix
