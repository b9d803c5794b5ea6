// The colour scheme that the main window's body follows: the design's
// white with black text, or in a high-contrast scheme the scheme's own
// window colours, which the user chose to read by.
#pragma once

#include <windows.h>

namespace corvantix::win32 {

/// Whether the user has a high-contrast scheme on.
bool high_contrast_on();

struct BodyColours {
  COLORREF background, text;
  HBRUSH brush; ///< of the background; the system's, never deleted
};

BodyColours body_colours(bool high_contrast);

/// A themed check box draws its text in the theme's colour whatever the
/// window gives it, which in a high-contrast scheme can be the colour of
/// the body behind it. There it is drawn classic, in the body's colours;
/// otherwise in the theme.
void theme_check_box(HWND check_box, bool high_contrast);

} // namespace corvantix::win32
