#include "platform/win32/scheme_win32.h"

#include <uxtheme.h>

namespace corvantix::win32 {

bool high_contrast_on() {
  HIGHCONTRASTW contrast{};
  contrast.cbSize = sizeof(contrast);
  return SystemParametersInfoW(SPI_GETHIGHCONTRAST, sizeof(contrast),
                               &contrast, 0) &&
         (contrast.dwFlags & HCF_HIGHCONTRASTON);
}

BodyColours body_colours(bool high_contrast) {
  if (high_contrast)
    return {GetSysColor(COLOR_WINDOW), GetSysColor(COLOR_WINDOWTEXT),
            GetSysColorBrush(COLOR_WINDOW)};
  return {RGB(255, 255, 255), RGB(0, 0, 0),
          static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH))};
}

void theme_check_box(HWND check_box, bool high_contrast) {
  if (high_contrast)
    SetWindowTheme(check_box, L"", L"");
  else
    SetWindowTheme(check_box, nullptr, nullptr);
}

} // namespace corvantix::win32
