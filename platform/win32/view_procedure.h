// The window procedure of a view class. The view object is passed as the
// creation parameter; the window keeps it in GWLP_USERDATA until
// WM_NCDESTROY, and every message in between goes to its handle_message.
// A view class names this template its friend.
#pragma once

#include <windows.h>

namespace corvantix::win32 {

template <typename View>
LRESULT CALLBACK view_procedure(HWND window, UINT message, WPARAM wparam,
                                LPARAM lparam) {
  if (message == WM_NCCREATE) {
    auto *create = reinterpret_cast<CREATESTRUCTW *>(lparam);
    auto *view = static_cast<View *>(create->lpCreateParams);
    view->window_ = window;
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(view));
  }
  auto *view = reinterpret_cast<View *>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (!view)
    return DefWindowProcW(window, message, wparam, lparam);
  if (message == WM_NCDESTROY) {
    SetWindowLongPtrW(window, GWLP_USERDATA, 0);
    view->window_ = nullptr;
    return DefWindowProcW(window, message, wparam, lparam);
  }
  return view->handle_message(message, wparam, lparam);
}

} // namespace corvantix::win32
