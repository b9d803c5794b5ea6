// The native windows of the Win32 toolkit and the pieces they share.
#pragma once

#include "platform/win32/grid_layout.h"
#include "platform/win32/toolkit_win32.h"
#include "ui/view.h"

#include <memory>
#include <utility>

#include <windows.h>

namespace corvantix::win32 {

std::unique_ptr<MainView> make_main_view(Win32Toolkit &toolkit,
                                         MainEvents &events);
std::unique_ptr<AboutView> make_about_view(Win32Toolkit &toolkit,
                                           AboutEvents &events);

/// The dialog font: the system's message font, which the controls use and
/// which sets the layout's scale. Owns its handle.
class DialogFont {
public:
  DialogFont();
  ~DialogFont() { DeleteObject(font_); }
  DialogFont(const DialogFont &) = delete;
  DialogFont &operator=(const DialogFont &) = delete;

  HFONT handle() const { return font_; }
  /// The font's average character cell against the design's 6 x 13.
  const Scale &scale() const { return scale_; }

private:
  HFONT font_;
  Scale scale_;
};

/// A picture as a 32-bit top-down device-independent bitmap. Owns its
/// handle.
class Picture {
public:
  Picture() = default;
  Picture(HBITMAP bitmap, int width, int height)
      : bitmap_(bitmap), width_(width), height_(height) {}
  ~Picture() {
    if (bitmap_)
      DeleteObject(bitmap_);
  }
  Picture(Picture &&other) noexcept { *this = std::move(other); }
  Picture &operator=(Picture &&other) noexcept {
    std::swap(bitmap_, other.bitmap_);
    std::swap(width_, other.width_);
    std::swap(height_, other.height_);
    return *this;
  }

  explicit operator bool() const { return bitmap_ != nullptr; }
  HBITMAP handle() const { return bitmap_; }
  int width() const { return width_; }
  int height() const { return height_; }

private:
  HBITMAP bitmap_ = nullptr;
  int width_ = 0, height_ = 0;
};

/// The embedded PNG `name` decoded with the Windows Imaging Component and
/// laid over white, as the windows show their pictures; empty when the
/// program lacks it or it cannot be decoded. Needs COM on the thread.
Picture load_picture(const char *name);

/// Gives `window` the program icon (the first icon group) at the sizes that
/// the system uses for title bars and the task bar.
void set_program_icon(HWND window);

} // namespace corvantix::win32
