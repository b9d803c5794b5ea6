// frmCorvantix as a native window: a header panel over a table of fixed
// and proportional cells, laid out by GridLayout and scaled with the dialog
// font.
//
//   tlpMain   1 column; rows 91 | 100 %
//   tlpBody   columns 85 | 100 % | 85; rows 100 % | 29 | 29 | 29
//
// Every control sits 3 px inside its cell. The header panel paints its own
// title and logo, so nothing needs a transparent background.
#include "platform/win32/main_view_win32.h"

#include "platform/win32/scheme_win32.h"
#include "platform/win32/text.h"
#include "strings/error.h"

#include <algorithm>

#include <commctrl.h>

namespace corvantix::win32 {
namespace {

constexpr wchar_t window_class[] = L"Corvantix.Main";
constexpr wchar_t header_class[] = L"Corvantix.Header";

// Design sizes, pixels for a 6 x 13 dialog font.
constexpr int client_width = 634, client_height = 253;
constexpr int minimum_width = 500, minimum_height = 214;
constexpr double header_height = 91, row_height = 29, side_width = 85;
constexpr double margin = 3, info_padding = 10;
constexpr double button_height = 23;
constexpr int title_points_100 = 1575; // 15.75 pt
constexpr int combo_list_rows = 8;

// Control IDs: the Control value plus this.
constexpr int first_id = 100;

} // namespace

Win32MainView::Win32MainView(Win32Toolkit &toolkit, MainEvents &events)
    : toolkit_(toolkit), events_(events),
      background_(load_picture("header.png")), logo_(load_picture("logo.png")),
      outer_({Track::percent(100)},
             {Track::fixed(header_height), Track::percent(100)}),
      body_({Track::fixed(side_width), Track::percent(100),
             Track::fixed(side_width)},
            {Track::percent(100), Track::fixed(row_height),
             Track::fixed(row_height), Track::fixed(row_height)}) {
  enabled_.fill(true);
  HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSEXW type{};
  type.cbSize = sizeof(type);
  type.lpfnWndProc = view_procedure<Win32MainView>;
  type.hInstance = instance;
  type.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512)); // IDC_ARROW
  type.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
  type.lpszClassName = window_class;
  RegisterClassExW(&type);
  type.lpfnWndProc = header_procedure;
  type.hbrBackground = nullptr;
  type.lpszClassName = header_class;
  RegisterClassExW(&type);

  HDC screen = GetDC(nullptr);
  int dpi = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(nullptr, screen);
  title_font_ = CreateFontW(-MulDiv(title_points_100, dpi, 7200), 0, 0, 0,
                            FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                            OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                            CLEARTYPE_QUALITY, DEFAULT_PITCH,
                            L"Microsoft Sans Serif");

  const Scale &s = scale();
  RECT frame{0, 0, s.dx(client_width), s.dy(client_height)};
  DWORD style = WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN;
  AdjustWindowRectEx(&frame, style, FALSE, 0);
  window_ = CreateWindowExW(WS_EX_CONTROLPARENT, window_class, L"", style,
                            CW_USEDEFAULT, CW_USEDEFAULT,
                            frame.right - frame.left, frame.bottom - frame.top,
                            nullptr, nullptr, instance, this);
  if (!window_) {
    DeleteObject(title_font_);
    throw Error("The main window could not be created.");
  }
  set_program_icon(window_);
  create_controls();
  follow_scheme(high_contrast_on());
  built_ = true;
  layout();
}

void Win32MainView::follow_scheme(bool high_contrast) {
  if (closed_)
    return;
  high_contrast_ = high_contrast;
  theme_check_box(control(Control::chkKeep), high_contrast);
  if (built_)
    layout(); // the check box's size depends on how it is drawn
  RedrawWindow(window_, nullptr, nullptr,
               RDW_ERASE | RDW_INVALIDATE | RDW_ALLCHILDREN | RDW_FRAME);
}

Win32MainView::~Win32MainView() {
  close();
  if (title_font_)
    DeleteObject(title_font_);
}

void Win32MainView::create_controls() {
  HINSTANCE instance = GetModuleHandleW(nullptr);
  auto make = [&](Control control, const wchar_t *type, DWORD style,
                  DWORD extended = 0) {
    HWND child = CreateWindowExW(
        extended, type, L"", WS_CHILD | WS_VISIBLE | style, 0, 0, 0, 0,
        window_,
        reinterpret_cast<HMENU>(INT_PTR(first_id + int(index(control)))),
        instance, nullptr);
    SendMessageW(child, WM_SETFONT, WPARAM(font_.handle()), FALSE);
    controls_[index(control)] = child;
    return child;
  };
  // Creation order is the keyboard order: device list, Format, Refresh,
  // About, Backup; then the controls that take no focus.
  make(Control::cbxSticks, WC_COMBOBOXW,
       CBS_DROPDOWN | CBS_AUTOHSCROLL | WS_VSCROLL | WS_TABSTOP);
  make(Control::btnFormat, WC_BUTTONW, BS_PUSHBUTTON | WS_TABSTOP);
  make(Control::btnRefresh, WC_BUTTONW, BS_PUSHBUTTON | WS_TABSTOP);
  make(Control::btnAbout, WC_BUTTONW, BS_PUSHBUTTON | WS_TABSTOP);
  make(Control::chkKeep, WC_BUTTONW, BS_AUTOCHECKBOX | WS_TABSTOP);
  HWND header = CreateWindowExW(0, header_class, L"", WS_CHILD | WS_VISIBLE,
                                0, 0, 0, 0, window_, nullptr, instance, this);
  controls_[index(Control::lblTitle)] = header;
  make(Control::lblInfo, WC_STATICW, SS_LEFT | SS_NOPREFIX);
  make(Control::lblSticks, WC_STATICW,
       SS_LEFT | SS_CENTERIMAGE | SS_NOPREFIX | SS_ENDELLIPSIS);
  HWND bar = make(Control::prgFormat, PROGRESS_CLASSW, PBS_SMOOTH);
  SendMessageW(bar, PBM_SETRANGE32, 0, progress_maximum);
  SendMessageW(controls_[index(Control::cbxSticks)], CB_SETMINVISIBLE,
               combo_list_rows, 0);

  tooltips_ = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                              WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX,
                              CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                              CW_USEDEFAULT, window_, nullptr, instance,
                              nullptr);
  if (tooltips_) {
    // Long tips wrap instead of running across the screen.
    SendMessageW(tooltips_, TTM_SETMAXTIPWIDTH, 0, scale().dx(400));
  }
}

// A tip for the control; the device list's text field is a window of its
// own and shows the same tip.
void Win32MainView::add_tooltip(HWND control, const std::wstring &text) {
  if (!tooltips_)
    return;
  std::vector<HWND> targets{control};
  COMBOBOXINFO combo{};
  combo.cbSize = sizeof(combo);
  if (control == this->control(Control::cbxSticks) &&
      GetComboBoxInfo(control, &combo) && combo.hwndItem)
    targets.push_back(combo.hwndItem);
  for (HWND target : targets) {
    TTTOOLINFOW tool{};
    tool.cbSize = sizeof(tool);
    tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    tool.hwnd = window_;
    tool.uId = reinterpret_cast<UINT_PTR>(target);
    tool.lpszText = const_cast<wchar_t *>(text.c_str());
    // Replace an earlier tip of the same control.
    SendMessageW(tooltips_, TTM_DELTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
    SendMessageW(tooltips_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
  }
}

void Win32MainView::layout() {
  RECT client;
  GetClientRect(window_, &client);
  const Scale &s = scale();
  outer_.arrange({0, 0, int(client.right), int(client.bottom)}, s);
  body_.arrange(outer_.cell(0, 1), s);
  int mx = s.dx(margin), my = s.dy(margin);

  auto place = [&](Control control, const Box &box) {
    MoveWindow(this->control(control), box.x, box.y, box.width, box.height,
               TRUE);
  };
  place(Control::lblTitle, outer_.cell(0, 0));
  place(Control::lblInfo, body_.cell(0, 0, 3, 1).inset(mx + s.dx(info_padding),
                                                       my + s.dy(info_padding)));
  place(Control::lblSticks, body_.cell(0, 1).inset(mx, my));
  // A drop-down's window height includes its open list.
  Box combo = body_.cell(1, 1).inset(mx, my);
  combo.height = s.dy(row_height) * combo_list_rows;
  place(Control::cbxSticks, combo);
  Box refresh = body_.cell(2, 1).inset(mx, my);
  refresh.height = std::min(refresh.height, s.dy(button_height));
  place(Control::btnRefresh, refresh);
  place(Control::prgFormat, body_.cell(0, 2, 3, 1).inset(mx, my));

  // The check box is as large as its text asks, at the cell's left and
  // vertically centred.
  Box keep_cell = body_.cell(0, 3).inset(mx, my);
  SIZE ideal = check_box_size();
  Box keep_box{keep_cell.x, 0, std::min<int>(ideal.cx, keep_cell.width),
               std::min<int>(ideal.cy, keep_cell.height)};
  keep_box.y = keep_cell.y + (keep_cell.height - keep_box.height) / 2;
  place(Control::chkKeep, keep_box);
  place(Control::btnFormat, body_.cell(1, 3).inset(mx, my));
  place(Control::btnAbout, body_.cell(2, 3).inset(mx, my));
  // Static controls repaint only what a resize uncovers; wrapped text
  // moves everywhere.
  InvalidateRect(control(Control::lblInfo), nullptr, TRUE);
  InvalidateRect(control(Control::lblSticks), nullptr, TRUE);
}

// The box, a gap and the text in the dialog font, or the control's own
// ideal size where that is larger: an ideal size that is a pixel short cuts
// the text's last letter.
SIZE Win32MainView::check_box_size() const {
  HWND keep = control(Control::chkKeep);
  HDC dc = GetDC(keep);
  HGDIOBJ old = SelectObject(dc, font_.handle());
  wchar_t text[256] = {};
  int length = GetWindowTextW(keep, text, 256);
  SIZE size{};
  GetTextExtentPoint32W(dc, text, length, &size);
  SelectObject(dc, old);
  ReleaseDC(keep, dc);
  size.cx += GetSystemMetrics(SM_CXMENUCHECK) + scale().dx(margin) + 1;
  size.cy = std::max<LONG>(size.cy, GetSystemMetrics(SM_CYMENUCHECK));

  SIZE ideal{};
  if (SendMessageW(keep, BCM_GETIDEALSIZE, 0, reinterpret_cast<LPARAM>(&ideal)))
    return {std::max(size.cx, ideal.cx), std::max(size.cy, ideal.cy)};
  return size;
}

LRESULT Win32MainView::handle_message(UINT message, WPARAM wparam,
                                      LPARAM lparam) {
  if (message == Win32Toolkit::pretranslate_message())
    return IsDialogMessageW(window_, reinterpret_cast<MSG *>(lparam));
  switch (message) {
  case WM_SIZE:
    if (built_)
      layout();
    return 0;
  case WM_GETMINMAXINFO: {
    auto *limits = reinterpret_cast<MINMAXINFO *>(lparam);
    limits->ptMinTrackSize = {scale().dx(minimum_width),
                              scale().dy(minimum_height)};
    return 0;
  }
  case WM_ERASEBKGND: {
    RECT client;
    GetClientRect(window_, &client);
    FillRect(reinterpret_cast<HDC>(wparam), &client,
             body_colours(high_contrast_).brush);
    return 1;
  }
  case WM_CTLCOLORSTATIC: {
    // Labels and the check box on the window's body; disabled ones are
    // greyed by the controls themselves.
    BodyColours colours = body_colours(high_contrast_);
    HDC dc = reinterpret_cast<HDC>(wparam);
    SetBkColor(dc, colours.background);
    SetTextColor(dc, colours.text);
    return reinterpret_cast<LRESULT>(colours.brush);
  }
  case WM_SETTINGCHANGE:
    if (wparam == SPI_SETHIGHCONTRAST)
      follow_scheme(high_contrast_on());
    break;
  case WM_SYSCOLORCHANGE:
    follow_scheme(high_contrast_on());
    break;
  case WM_COMMAND:
    command(LOWORD(wparam), HIWORD(wparam));
    return 0;
  case WM_ACTIVATE:
    // Keep the focused control across switches to other windows.
    if (LOWORD(wparam) == WA_INACTIVE) {
      HWND focus = GetFocus();
      if (focus && IsChild(window_, focus))
        last_focus_ = focus;
    } else if (last_focus_ && IsWindow(last_focus_) &&
               IsWindowEnabled(last_focus_)) {
      SetFocus(last_focus_);
      return 0;
    }
    break;
  case WM_CLOSE:
    // A disabled window (a run, or an open message box) does not close at
    // the user's request.
    if (IsWindowEnabled(window_))
      close();
    return 0;
  case WM_DESTROY:
    closed_ = true;
    return 0;
  }
  return DefWindowProcW(window_, message, wparam, lparam);
}

void Win32MainView::command(int id, int notification) {
  if (closed_)
    return;
  Control source = Control(id - first_id);
  if (id < first_id || index(source) >= control_count)
    return;
  toolkit_.guard([&] {
    if (source == Control::cbxSticks && notification == CBN_SELCHANGE)
      events_.cbxSticks_SelectedValueChanged();
    else if (notification == BN_CLICKED && source == Control::btnRefresh)
      events_.btnRefresh_Click();
    else if (notification == BN_CLICKED && source == Control::btnFormat)
      events_.btnFormat_Click();
    else if (notification == BN_CLICKED && source == Control::btnAbout)
      events_.btnAbout_Click();
  });
}

void Win32MainView::show() {
  if (closed_)
    return;
  ShowWindow(window_, SW_SHOWNORMAL);
  UpdateWindow(window_);
  shown_ = true;
  set_focus(focus_);
}

void Win32MainView::close() {
  if (closed_)
    return;
  closed_ = true;
  if (window_)
    DestroyWindow(window_);
}

std::unique_ptr<MainView> make_main_view(Win32Toolkit &toolkit,
                                         MainEvents &events) {
  return std::make_unique<Win32MainView>(toolkit, events);
}

} // namespace corvantix::win32
