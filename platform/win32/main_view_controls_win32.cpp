// The main window's controls as the window logic sets and reads them:
// texts, tooltips, states, the drive list, the progress bar and the
// message boxes.
#include "platform/win32/main_view_win32.h"

#include "platform/win32/text.h"

#include <commctrl.h>

namespace corvantix::win32 {

bool Win32MainView::is_visible() const {
  return shown_ && !closed_ && IsWindowVisible(window_);
}

void Win32MainView::set_title(const std::string &title) {
  if (!closed_)
    SetWindowTextW(window_, widen(title).c_str());
}

void Win32MainView::set_text(Control control, const std::string &text) {
  if (closed_)
    return;
  if (control == Control::lblTitle) {
    title_text_ = widen(text);
    InvalidateRect(this->control(control), nullptr, FALSE);
    return;
  }
  SetWindowTextW(this->control(control), widen(text).c_str());
  if (control == Control::chkKeep)
    layout(); // the check box is sized to its text
}

void Win32MainView::set_tooltip(Control control, const std::string &text) {
  if (closed_)
    return;
  tips_[index(control)] = widen(text);
  add_tooltip(this->control(control), tips_[index(control)]);
}

// The window's own switch greys every control while it is off; each
// control's own state comes back with it.
void Win32MainView::apply_enabled() {
  for (std::size_t i = 0; i < control_count; ++i)
    EnableWindow(controls_[i], window_enabled_ && enabled_[i]);
  InvalidateRect(control(Control::lblTitle), nullptr, FALSE);
}

void Win32MainView::set_enabled(Control control, bool enabled) {
  if (closed_)
    return;
  enabled_[index(control)] = enabled;
  apply_enabled();
}

bool Win32MainView::is_enabled(Control control) const {
  return !closed_ && enabled_[index(control)];
}

void Win32MainView::set_visible(Control control, bool visible) {
  // The layout is fixed: a hidden control keeps its cell.
  if (!closed_)
    ShowWindow(this->control(control), visible ? SW_SHOWNA : SW_HIDE);
}

void Win32MainView::set_window_enabled(bool enabled) {
  if (closed_)
    return;
  window_enabled_ = enabled;
  apply_enabled();
  EnableWindow(window_, enabled);
  if (enabled && shown_) {
    // The control that had the focus may have been disabled meanwhile.
    HWND focus = control(focus_);
    if (!IsWindowEnabled(focus) || !IsWindowVisible(focus))
      focus = GetNextDlgTabItem(window_, focus, FALSE);
    if (focus)
      SetFocus(focus);
  }
}

void Win32MainView::set_checked(bool checked) {
  if (!closed_)
    SendMessageW(control(Control::chkKeep), BM_SETCHECK,
                 checked ? BST_CHECKED : BST_UNCHECKED, 0);
}

bool Win32MainView::is_checked() const {
  return !closed_ && SendMessageW(control(Control::chkKeep), BM_GETCHECK, 0,
                                  0) == BST_CHECKED;
}

void Win32MainView::clear_items() {
  if (!closed_)
    SendMessageW(control(Control::cbxSticks), CB_RESETCONTENT, 0, 0);
}

void Win32MainView::add_item(const std::string &text) {
  if (!closed_)
    SendMessageW(control(Control::cbxSticks), CB_ADDSTRING, 0,
                 reinterpret_cast<LPARAM>(widen(text).c_str()));
}

std::uint32_t Win32MainView::item_count() const {
  if (closed_)
    return 0;
  LRESULT count = SendMessageW(control(Control::cbxSticks), CB_GETCOUNT, 0, 0);
  return count < 0 ? 0 : std::uint32_t(count);
}

void Win32MainView::set_selected(std::uint32_t index) {
  if (closed_)
    return;
  // Position -1 clears the selection and the text field, which shows the
  // hint again.
  WPARAM position = index == no_selection || index >= item_count()
                        ? WPARAM(-1)
                        : WPARAM(index);
  SendMessageW(control(Control::cbxSticks), CB_SETCURSEL, position, 0);
}

std::uint32_t Win32MainView::selected() const {
  if (closed_)
    return no_selection;
  LRESULT position =
      SendMessageW(control(Control::cbxSticks), CB_GETCURSEL, 0, 0);
  return position == CB_ERR ? no_selection : std::uint32_t(position);
}

// The list has the focus when the window opens and after every run, and a
// combo box shows its own cue banner only without the focus: the hint goes
// to the text field, whose banner can be drawn with the focus too.
void Win32MainView::set_hint(const std::string &text) {
  if (closed_)
    return;
  std::wstring hint = widen(text);
  HWND list = control(Control::cbxSticks);
  COMBOBOXINFO combo{};
  combo.cbSize = sizeof(combo);
  if (GetComboBoxInfo(list, &combo) && combo.hwndItem)
    SendMessageW(combo.hwndItem, EM_SETCUEBANNER, TRUE,
                 reinterpret_cast<LPARAM>(hint.c_str()));
  else
    SendMessageW(list, CB_SETCUEBANNER, 0, reinterpret_cast<LPARAM>(hint.c_str()));
}

void Win32MainView::set_progress(int value) {
  if (!closed_)
    SendMessageW(control(Control::prgFormat), PBM_SETPOS,
                 WPARAM(std::clamp(value, 0, progress_maximum)), 0);
}

void Win32MainView::set_focus(Control control) {
  if (closed_)
    return;
  focus_ = control;
  if (shown_)
    SetFocus(this->control(control));
}

bool Win32MainView::ask_yes_no(const std::string &text,
                               const std::string &title) {
  if (closed_)
    return false;
  return MessageBoxW(window_, widen(text).c_str(), widen(title).c_str(),
                     MB_YESNO | MB_DEFBUTTON1) == IDYES;
}

void Win32MainView::show_message(const std::string &text,
                                 const std::string &title) {
  if (!closed_)
    MessageBoxW(window_, widen(text).c_str(), widen(title).c_str(), MB_OK);
}

} // namespace corvantix::win32
