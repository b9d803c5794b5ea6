// What the window logic (frmCorvantix, frmAbout) asks of the toolkit's
// windows, and the handlers that the windows call back. Every function of a
// view runs on the window thread only.
//
// Handlers may throw. A view calls them (and posted calls) so that a failure
// never crosses the toolkit's own callbacks: it ends Toolkit::run, which
// rethrows it (see ui/toolkit.h).
#pragma once

#include <cstdint>
#include <string>

namespace corvantix {

/// The bar's range is 0 to this; the view builds it so.
inline constexpr int progress_maximum = 20;

/// The device list's position when no entry is selected.
inline constexpr std::uint32_t no_selection = 0xFFFFFFFF;

/// A top-level window. Destroying the view closes the window if it is open.
class WindowView {
public:
  virtual ~WindowView() = default;

  /// Shows the window as an independent, not modal window (placed where the
  /// platform places new windows); the first showing raises the Load event.
  virtual void show() = 0;
  /// Closes the window as its close box does; after that every call on the
  /// view but is_closed and is_visible is ignored.
  virtual void close() = 0;
  /// True once the window has been closed, by close() or by the user.
  virtual bool is_closed() const = 0;
  /// True while the window is shown and not closed.
  virtual bool is_visible() const = 0;
  /// The text of the title bar.
  virtual void set_title(const std::string &title) = 0;
};

/// The main window's controls, by their names in the window's layout:
/// title and information labels, device-list label, device list (drop-down
/// list with a text field), Refresh, progress bar (range 0..20), backup
/// check box, Format and About buttons.
enum class Control {
  lblTitle,
  lblInfo,
  lblSticks,
  cbxSticks,
  btnRefresh,
  prgFormat,
  chkKeep,
  btnFormat,
  btnAbout,
};

/// The main window's handlers, called by its view on the window thread.
class MainEvents {
public:
  /// The Refresh button was pressed.
  virtual void btnRefresh_Click() = 0;
  /// The device list's selected position changed (by the user, or by
  /// set_selected if the toolkit reports that too).
  virtual void cbxSticks_SelectedValueChanged() = 0;
  /// The Format button was pressed.
  virtual void btnFormat_Click() = 0;
  /// The About button was pressed.
  virtual void btnAbout_Click() = 0;

protected:
  ~MainEvents() = default;
};

/// The main window, frmCorvantix. While the window is disabled
/// (set_window_enabled(false)) it takes no input and does not close at the
/// user's request.
class MainView : public WindowView {
public:
  /// Caption of a label, button or check box (not of cbxSticks, prgFormat).
  virtual void set_text(Control control, const std::string &text) = 0;
  /// Tooltip of cbxSticks, btnRefresh, chkKeep, btnFormat or btnAbout.
  virtual void set_tooltip(Control control, const std::string &text) = 0;
  /// Enables or disables one control.
  virtual void set_enabled(Control control, bool enabled) = 0;
  /// The control's own enabled state (not affected by set_window_enabled).
  virtual bool is_enabled(Control control) const = 0;
  /// Shows or hides one control; a hidden control keeps its layout cell.
  virtual void set_visible(Control control, bool visible) = 0;
  /// Enables or disables the whole window, so that no control takes input.
  virtual void set_window_enabled(bool enabled) = 0;
  /// Ticks or clears chkKeep.
  virtual void set_checked(bool checked) = 0;
  /// Whether chkKeep is ticked.
  virtual bool is_checked() const = 0;
  /// Empties the device list (no selection afterwards).
  virtual void clear_items() = 0;
  /// Appends an entry to the device list.
  virtual void add_item(const std::string &text) = 0;
  /// The number of entries in the device list.
  virtual std::uint32_t item_count() const = 0;
  /// Selects an entry; no_selection clears the selection and the text field.
  virtual void set_selected(std::uint32_t index) = 0;
  /// The selected entry's position, or no_selection.
  virtual std::uint32_t selected() const = 0;
  /// The hint shown in the device list's empty text field (cue banner).
  virtual void set_hint(const std::string &text) = 0;
  /// The progress bar's value, 0 to progress_maximum.
  virtual void set_progress(int value) = 0;
  /// The control that takes the keyboard focus when the window opens.
  virtual void set_focus(Control control) = 0;
  /// Modal Yes/No box owned by this window, Yes the default, no icon;
  /// true for Yes.
  virtual bool ask_yes_no(const std::string &text,
                          const std::string &title) = 0;
  /// Modal box with a single OK button owned by this window, no icon; returns
  /// when the user has closed it.
  virtual void show_message(const std::string &text,
                            const std::string &title) = 0;
};

/// The about window's handlers, called by its view on the window thread.
class AboutEvents {
public:
  /// The window is being shown for the first time.
  virtual void frmAbout_Load() = 0;
  /// The HTML view is about to navigate to `address` (a click, or a page
  /// being handed to it). True cancels the navigation; the handler has then
  /// handed the view another page with set_page.
  virtual bool webBrowser1_Navigating(const std::string &address) = 0;

protected:
  ~AboutEvents() = default;
};

/// The about window, frmAbout: one HTML view filling the window.
class AboutView : public WindowView {
public:
  /// Hands the HTML view a complete page as text. The view may report its
  /// own navigation to an "about:" address while it loads the text; it may
  /// apply the page after the current handler has returned.
  virtual void set_page(const std::string &html) = 0;
};

} // namespace corvantix
