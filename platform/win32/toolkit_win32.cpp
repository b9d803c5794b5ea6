#include "platform/win32/toolkit_win32.h"

#include "platform/win32/text.h"

#include <windows.h>
#include <commctrl.h>

namespace corvantix {

// The manifest selects common controls version 6; registering the classes
// makes the styled controls available to every later window.
void Win32Toolkit::enable_visual_styles() {
  INITCOMMONCONTROLSEX controls{sizeof(controls),
                                ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES |
                                    ICC_PROGRESS_CLASS | ICC_BAR_CLASSES};
  InitCommonControlsEx(&controls);
}

Toolkit::Answer Win32Toolkit::message_box(const std::string &text,
                                          const std::string &title,
                                          Buttons buttons) {
  UINT style = buttons == Buttons::YesNo ? MB_YESNO | MB_DEFBUTTON1 : MB_OK;
  int pressed = MessageBoxW(nullptr, win32::widen(text).c_str(),
                            win32::widen(title).c_str(), style | MB_TASKMODAL);
  if (buttons == Buttons::Ok)
    return Answer::Ok;
  return pressed == IDYES ? Answer::Yes : Answer::No;
}

} // namespace corvantix
