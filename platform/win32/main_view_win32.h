// frmCorvantix as a native window.
#pragma once

#include "platform/win32/view_procedure.h"
#include "platform/win32/win32_views.h"

#include <array>
#include <string>

namespace corvantix::win32 {

class Win32MainView final : public MainView {
public:
  Win32MainView(Win32Toolkit &toolkit, MainEvents &events);
  ~Win32MainView() override;
  Win32MainView(const Win32MainView &) = delete;
  Win32MainView &operator=(const Win32MainView &) = delete;

  void show() override;
  void close() override;
  bool is_closed() const override { return closed_; }
  bool is_visible() const override;
  void set_title(const std::string &title) override;

  void set_text(Control control, const std::string &text) override;
  void set_tooltip(Control control, const std::string &text) override;
  void set_enabled(Control control, bool enabled) override;
  bool is_enabled(Control control) const override;
  void set_visible(Control control, bool visible) override;
  void set_window_enabled(bool enabled) override;
  void set_checked(bool checked) override;
  bool is_checked() const override;
  void clear_items() override;
  void add_item(const std::string &text) override;
  std::uint32_t item_count() const override;
  void set_selected(std::uint32_t index) override;
  std::uint32_t selected() const override;
  void set_hint(const std::string &text) override;
  void set_progress(int value) override;
  void set_focus(Control control) override;
  bool ask_yes_no(const std::string &text, const std::string &title) override;
  void show_message(const std::string &text, const std::string &title) override;

  /// The window and its controls (the header panel for lblTitle), for
  /// tests that look at them as the system sees them.
  HWND handle() const { return window_; }
  HWND control(Control control) const { return controls_[index(control)]; }
  const Scale &scale() const { return font_.scale(); }

  /// Takes the colours of the scheme: a high-contrast one's own for the
  /// body, else the design's. The window follows the system's switch by
  /// itself; tests set it, as Wine has none.
  void follow_scheme(bool high_contrast);

private:
  static constexpr std::size_t control_count = 9;
  static std::size_t index(Control control) { return std::size_t(control); }

  friend LRESULT CALLBACK win32::view_procedure<Win32MainView>(HWND, UINT, WPARAM,
                                                       LPARAM);
  static LRESULT CALLBACK header_procedure(HWND, UINT, WPARAM, LPARAM);
  LRESULT handle_message(UINT message, WPARAM wparam, LPARAM lparam);
  void create_controls();
  void add_tooltip(HWND control, const std::wstring &text);
  void layout();
  SIZE check_box_size() const;
  void paint_header(HDC dc, const RECT &area);
  void command(int id, int notification);
  void apply_enabled();

  Win32Toolkit &toolkit_;
  MainEvents &events_;
  DialogFont font_;
  HFONT title_font_ = nullptr;
  Picture background_, logo_;
  HWND window_ = nullptr;
  HWND tooltips_ = nullptr;
  std::array<HWND, control_count> controls_{};
  std::array<bool, control_count> enabled_{};
  std::array<std::wstring, control_count> tips_;
  std::wstring title_text_;
  GridLayout outer_, body_;
  Control focus_ = Control::cbxSticks;
  HWND last_focus_ = nullptr;
  bool built_ = false; ///< the controls exist and can be laid out
  bool window_enabled_ = true;
  bool shown_ = false, closed_ = false;
  bool high_contrast_ = false;
};

} // namespace corvantix::win32
