// The header panel of the main window: white, the background picture
// tiled over it, the logo at its right end and the title. The picture and
// the white stay light in every colour scheme, so the title keeps dark
// colours of its own: a dark scheme's window text (white in High Contrast
// Black) would vanish there.
#include "platform/win32/main_view_win32.h"

#include <algorithm>

namespace corvantix::win32 {
namespace {

// Design places, pixels for a 6 x 13 dialog font.
constexpr double logo_width = 142;
constexpr double title_x = 18, title_y = 32;

COLORREF constexpr text_on_light = RGB(0, 0, 0);
COLORREF constexpr grey_text_on_light = RGB(109, 109, 109);

} // namespace

// White, the background picture tiled over it, the logo stretched over the
// right end and the title at its design place.
void Win32MainView::paint_header(HDC dc, const RECT &area) {
  int width = area.right, height = area.bottom;
  HDC buffer = CreateCompatibleDC(dc);
  HBITMAP canvas = CreateCompatibleBitmap(dc, std::max(width, 1), std::max(height, 1));
  HGDIOBJ old_canvas = SelectObject(buffer, canvas);
  FillRect(buffer, &area, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));

  HDC source = CreateCompatibleDC(dc);
  if (background_) {
    HGDIOBJ old = SelectObject(source, background_.handle());
    for (int y = 0; y < height; y += background_.height())
      for (int x = 0; x < width; x += background_.width())
        BitBlt(buffer, x, y, background_.width(), background_.height(), source,
               0, 0, SRCCOPY);
    SelectObject(source, old);
  }
  if (logo_) {
    HGDIOBJ old = SelectObject(source, logo_.handle());
    int logo = scale().dx(logo_width);
    SetStretchBltMode(buffer, HALFTONE);
    SetBrushOrgEx(buffer, 0, 0, nullptr);
    StretchBlt(buffer, width - logo, 0, logo, height, source, 0, 0,
               logo_.width(), logo_.height(), SRCCOPY);
    SelectObject(source, old);
  }
  DeleteDC(source);

  HWND header = control(Control::lblTitle);
  if (!title_text_.empty() && IsWindowVisible(header)) {
    HGDIOBJ old = SelectObject(buffer, title_font_);
    SetBkMode(buffer, TRANSPARENT);
    SetTextColor(buffer, enabled_[index(Control::lblTitle)] &&
                                 IsWindowEnabled(header)
                             ? text_on_light
                             : grey_text_on_light);
    TextOutW(buffer, scale().dx(title_x), scale().dy(title_y),
             title_text_.c_str(), int(title_text_.size()));
    SelectObject(buffer, old);
  }
  BitBlt(dc, 0, 0, width, height, buffer, 0, 0, SRCCOPY);
  SelectObject(buffer, old_canvas);
  DeleteObject(canvas);
  DeleteDC(buffer);
}

LRESULT CALLBACK Win32MainView::header_procedure(HWND window, UINT message,
                                                 WPARAM wparam, LPARAM lparam) {
  if (message == WM_NCCREATE) {
    auto *create = reinterpret_cast<CREATESTRUCTW *>(lparam);
    SetWindowLongPtrW(window, GWLP_USERDATA,
                      reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto *view =
      reinterpret_cast<Win32MainView *>(GetWindowLongPtrW(window, GWLP_USERDATA));
  switch (message) {
  case WM_ERASEBKGND:
    return 1;
  case WM_SIZE:
    InvalidateRect(window, nullptr, FALSE);
    return 0;
  case WM_PAINT:
    if (view) {
      PAINTSTRUCT paint;
      HDC dc = BeginPaint(window, &paint);
      RECT area;
      GetClientRect(window, &area);
      view->paint_header(dc, area);
      EndPaint(window, &paint);
      return 0;
    }
    break;
  case WM_PRINTCLIENT:
    if (view) {
      RECT area;
      GetClientRect(window, &area);
      view->paint_header(reinterpret_cast<HDC>(wparam), area);
      return 0;
    }
    break;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

} // namespace corvantix::win32
