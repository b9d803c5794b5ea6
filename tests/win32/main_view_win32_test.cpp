// The native windows as the system sees them: control places, keyboard
// order, states and events. They need a display; without one (the plain
// Wine run) they are skipped, and the test run under Xvfb runs them.
#include "platform/win32/main_view_win32.h"
#include "strings/res.h"

#include <gtest/gtest.h>

#include <commctrl.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

namespace corvantix::win32 {
namespace {

bool have_display() {
  HWND probe = CreateWindowExW(0, L"STATIC", L"", WS_OVERLAPPED, 0, 0, 10, 10,
                               nullptr, nullptr, nullptr, nullptr);
  if (!probe)
    return false;
  DestroyWindow(probe);
  return true;
}

struct Events : MainEvents {
  std::vector<std::string> calls;
  bool fail_about = false;
  void btnRefresh_Click() override { calls.push_back("refresh"); }
  void cbxSticks_SelectedValueChanged() override { calls.push_back("selected"); }
  void btnFormat_Click() override { calls.push_back("format"); }
  void btnAbout_Click() override {
    calls.push_back("about");
    if (fail_about)
      throw std::runtime_error("about failed");
  }
};

class Win32MainViewTest : public testing::Test {
protected:
  void SetUp() override {
    if (!have_display())
      GTEST_SKIP() << "no display for windows";
    view = std::make_unique<Win32MainView>(toolkit, events);
  }

  // The control's rectangle in the window's client coordinates.
  RECT place(Control control) const {
    RECT r;
    GetWindowRect(view->control(control), &r);
    MapWindowPoints(nullptr, view->handle(), reinterpret_cast<POINT *>(&r), 2);
    return r;
  }
  RECT client() const {
    RECT r;
    GetClientRect(view->handle(), &r);
    return r;
  }
  void resize_client(int width, int height) {
    RECT frame{0, 0, width, height};
    AdjustWindowRectEx(&frame, GetWindowLongW(view->handle(), GWL_STYLE), FALSE,
                       GetWindowLongW(view->handle(), GWL_EXSTYLE));
    SetWindowPos(view->handle(), nullptr, 0, 0, frame.right - frame.left,
                 frame.bottom - frame.top, SWP_NOMOVE | SWP_NOZORDER);
  }
  // Fixed rows and columns, 3 px margins, wherever the window's edges are.
  void expect_fixed_layout() {
    const Scale &s = view->scale();
    RECT c = client();
    RECT header = place(Control::lblTitle);
    EXPECT_EQ(header.top, 0);
    EXPECT_EQ(header.bottom, s.dy(91));
    EXPECT_EQ(header.right, c.right);

    RECT format = place(Control::btnFormat);
    EXPECT_EQ(format.left, s.dx(85) + s.dx(3));
    EXPECT_EQ(format.right, c.right - s.dx(85) - s.dx(3));
    EXPECT_EQ(format.bottom, c.bottom - s.dy(3));
    EXPECT_EQ(format.top, c.bottom - s.dy(29) + s.dy(3));

    RECT about = place(Control::btnAbout);
    EXPECT_EQ(about.left, c.right - s.dx(85) + s.dx(3));
    EXPECT_EQ(about.right, c.right - s.dx(3));

    RECT bar = place(Control::prgFormat);
    EXPECT_EQ(bar.top, c.bottom - 2 * s.dy(29) + s.dy(3));
    EXPECT_EQ(bar.right - bar.left, c.right - 2 * s.dx(3));

    RECT refresh = place(Control::btnRefresh);
    EXPECT_EQ(refresh.top, c.bottom - 3 * s.dy(29) + s.dy(3));
    EXPECT_EQ(refresh.bottom - refresh.top, s.dy(23));

    // The information text: the rest of the height, 3 + 10 px inside.
    RECT info = place(Control::lblInfo);
    EXPECT_EQ(info.top, s.dy(91) + s.dy(3) + s.dy(10));
    EXPECT_EQ(info.bottom, c.bottom - 3 * s.dy(29) - s.dy(3) - s.dy(10));
  }

  Win32Toolkit toolkit;
  Events events;
  std::unique_ptr<Win32MainView> view;
};

TEST_F(Win32MainViewTest, DesignSizeScaledByTheDialogFont) {
  const Scale &s = view->scale();
  RECT c = client();
  EXPECT_EQ(c.right, s.dx(634));
  EXPECT_EQ(c.bottom, s.dy(253));
  expect_fixed_layout();

  // The logo's cell and the check box: at the left of its cell, centred.
  RECT keep = place(Control::chkKeep);
  EXPECT_EQ(keep.left, s.dx(3));
  int cell_middle = c.bottom - s.dy(29) / 2;
  EXPECT_LE(std::abs((keep.top + keep.bottom) / 2 - cell_middle), 1);
}

TEST_F(Win32MainViewTest, GrowingTheWindowStretchesOnlyTheMiddle) {
  resize_client(view->scale().dx(900), view->scale().dy(420));
  expect_fixed_layout();
  RECT combo = place(Control::cbxSticks);
  EXPECT_EQ(combo.right, client().right - view->scale().dx(85) - view->scale().dx(3));
}

TEST_F(Win32MainViewTest, MinimumSizeIsTheScaledDesignMinimum) {
  MINMAXINFO limits{};
  SendMessageW(view->handle(), WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&limits));
  EXPECT_EQ(limits.ptMinTrackSize.x, view->scale().dx(500));
  EXPECT_EQ(limits.ptMinTrackSize.y, view->scale().dy(214));
}

TEST_F(Win32MainViewTest, KeyboardOrderAndFirstFocus) {
  view->show();
  HWND combo = view->control(Control::cbxSticks);
  HWND focus = GetFocus();
  EXPECT_TRUE(focus == combo || IsChild(combo, focus));
  std::vector<HWND> order{view->control(Control::btnFormat),
                          view->control(Control::btnRefresh),
                          view->control(Control::btnAbout),
                          view->control(Control::chkKeep), combo};
  HWND at = combo;
  for (HWND next : order) {
    at = GetNextDlgTabItem(view->handle(), at, FALSE);
    EXPECT_EQ(at, next);
  }
  // A locked device list hands the first focus to Format.
  view->set_enabled(Control::cbxSticks, false);
  view->set_focus(Control::btnFormat);
  EXPECT_EQ(GetFocus(), view->control(Control::btnFormat));
  EXPECT_EQ(GetNextDlgTabItem(view->handle(), view->control(Control::chkKeep), FALSE),
            view->control(Control::btnFormat));
}

TEST_F(Win32MainViewTest, ProgressBarRunsFromZeroToTwentyAndHidesInPlace) {
  PBRANGE range{};
  SendMessageW(view->control(Control::prgFormat), PBM_GETRANGE, FALSE,
               reinterpret_cast<LPARAM>(&range));
  EXPECT_EQ(range.iLow, 0);
  EXPECT_EQ(range.iHigh, 20);
  view->set_progress(6);
  EXPECT_EQ(SendMessageW(view->control(Control::prgFormat), PBM_GETPOS, 0, 0), 6);
  view->set_progress(25);
  EXPECT_EQ(SendMessageW(view->control(Control::prgFormat), PBM_GETPOS, 0, 0), 20);

  RECT before = place(Control::btnFormat);
  view->set_visible(Control::prgFormat, false);
  EXPECT_FALSE(IsWindowVisible(view->control(Control::prgFormat)));
  RECT after = place(Control::btnFormat);
  EXPECT_TRUE(EqualRect(&before, &after));
}

TEST_F(Win32MainViewTest, DeviceListSelectionAndHint) {
  view->add_item("E:\\ Stick (256 MB)");
  view->add_item("F:\\ Other (512 MB)");
  EXPECT_EQ(view->item_count(), 2u);
  EXPECT_EQ(view->selected(), no_selection);
  view->set_selected(1);
  EXPECT_EQ(view->selected(), 1u);
  wchar_t text[64] = {};
  GetWindowTextW(view->control(Control::cbxSticks), text, 64);
  EXPECT_EQ(std::wstring(text), L"F:\\ Other (512 MB)");

  view->set_selected(no_selection);
  EXPECT_EQ(view->selected(), no_selection);
  GetWindowTextW(view->control(Control::cbxSticks), text, 64);
  EXPECT_EQ(std::wstring(text), L"") << "the text field must be empty for the hint";
  view->set_selected(7); // past the end: nothing selected
  EXPECT_EQ(view->selected(), no_selection);

  view->clear_items();
  EXPECT_EQ(view->item_count(), 0u);
  EXPECT_EQ(view->selected(), no_selection);
  // Selecting from the code is no user's choice: no event.
  EXPECT_TRUE(events.calls.empty());
}

TEST_F(Win32MainViewTest, DisabledWindowGreysEverythingAndRestoresOwnStates) {
  view->show();
  view->set_enabled(Control::btnRefresh, false);
  view->set_window_enabled(false);
  EXPECT_FALSE(IsWindowEnabled(view->handle()));
  for (Control c : {Control::cbxSticks, Control::btnFormat, Control::btnAbout,
                    Control::chkKeep})
    EXPECT_FALSE(IsWindowEnabled(view->control(c)));
  // The own states are what the window logic set.
  EXPECT_TRUE(view->is_enabled(Control::btnFormat));
  EXPECT_FALSE(view->is_enabled(Control::btnRefresh));

  // The user cannot close it now.
  SendMessageW(view->handle(), WM_CLOSE, 0, 0);
  EXPECT_FALSE(view->is_closed());
  EXPECT_TRUE(IsWindow(view->handle()));

  view->set_window_enabled(true);
  EXPECT_TRUE(IsWindowEnabled(view->control(Control::btnFormat)));
  EXPECT_FALSE(IsWindowEnabled(view->control(Control::btnRefresh)));
  SendMessageW(view->handle(), WM_CLOSE, 0, 0);
  EXPECT_TRUE(view->is_closed());
  EXPECT_FALSE(view->is_visible());
}

TEST_F(Win32MainViewTest, ButtonsAndTheListReportToTheHandlers) {
  SendMessageW(view->control(Control::btnFormat), BM_CLICK, 0, 0);
  SendMessageW(view->control(Control::btnRefresh), BM_CLICK, 0, 0);
  SendMessageW(view->control(Control::btnAbout), BM_CLICK, 0, 0);
  // The check box is the window's state only.
  SendMessageW(view->control(Control::chkKeep), BM_CLICK, 0, 0);
  int id = GetDlgCtrlID(view->control(Control::cbxSticks));
  SendMessageW(view->handle(), WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE),
               reinterpret_cast<LPARAM>(view->control(Control::cbxSticks)));
  EXPECT_EQ(events.calls,
            (std::vector<std::string>{"format", "refresh", "about", "selected"}));
}

TEST_F(Win32MainViewTest, CheckBoxStateAndTexts) {
  view->set_checked(true);
  EXPECT_TRUE(view->is_checked());
  view->set_checked(false);
  EXPECT_FALSE(view->is_checked());
  view->set_text(Control::btnFormat, "Step 2 of 5");
  wchar_t text[64] = {};
  GetWindowTextW(view->control(Control::btnFormat), text, 64);
  EXPECT_EQ(std::wstring(text), L"Step 2 of 5");
  view->set_title("Corvantix");
  GetWindowTextW(view->handle(), text, 64);
  EXPECT_EQ(std::wstring(text), L"Corvantix");
}

TEST_F(Win32MainViewTest, FailingHandlerEndsTheLoopWithItsFailure) {
  events.fail_about = true;
  HWND about = view->control(Control::btnAbout);
  toolkit.post([about] { SendMessageW(about, BM_CLICK, 0, 0); });
  try {
    toolkit.run(*view);
    FAIL() << "run returned normally";
  } catch (const std::runtime_error &e) {
    EXPECT_STREQ(e.what(), "about failed");
  }
  EXPECT_TRUE(view->is_closed());
  // A closed view ignores everything.
  view->set_text(Control::btnFormat, "x");
  view->add_item("x");
  EXPECT_EQ(view->item_count(), 0u);
  EXPECT_FALSE(view->ask_yes_no("never shown", ""));
}

// The width of `text` in the control's font.
int text_width(HWND control, const std::string &text) {
  std::wstring wide;
  wide.resize(text.size());
  wide.resize(std::size_t(MultiByteToWideChar(CP_UTF8, 0, text.data(),
                                              int(text.size()), wide.data(),
                                              int(wide.size()))));
  HDC dc = GetDC(control);
  HGDIOBJ old = SelectObject(
      dc, reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)));
  SIZE size{};
  GetTextExtentPoint32W(dc, wide.c_str(), int(wide.size()), &size);
  SelectObject(dc, old);
  ReleaseDC(control, dc);
  return size.cx;
}

int client_width(HWND control) {
  RECT r;
  GetClientRect(control, &r);
  return r.right;
}

// Buttons draw their text inside a 2 px edge and the focus frame, the check
// box beside its box, the hint inside the list's text field.
TEST_F(Win32MainViewTest, EveryTextFitsItsControlInBothLanguages) {
  for (const char *tag : {"en-US", "de-DE"}) {
    Res::init_for(tag);
    view->set_text(Control::lblSticks, Res::get("UI_STICKS"));
    view->set_text(Control::btnRefresh, Res::get("UI_REFRESH"));
    view->set_text(Control::btnFormat, Res::get("UI_FORMAT"));
    view->set_text(Control::btnAbout, Res::get("UI_ABOUT"));
    view->set_text(Control::chkKeep, Res::get("UI_BACKUP"));
    int frame = 2 * (GetSystemMetrics(SM_CXEDGE) + 2);
    for (auto [control, key] :
         {std::pair{Control::btnRefresh, "UI_REFRESH"},
          std::pair{Control::btnFormat, "UI_FORMAT"},
          std::pair{Control::btnAbout, "UI_ABOUT"}}) {
      HWND button = view->control(control);
      EXPECT_LE(text_width(button, Res::get(key)) + frame, client_width(button))
          << tag << " " << key;
    }
    HWND label = view->control(Control::lblSticks);
    EXPECT_LE(text_width(label, Res::get("UI_STICKS")), client_width(label)) << tag;
    HWND keep = view->control(Control::chkKeep);
    EXPECT_LE(GetSystemMetrics(SM_CXMENUCHECK) + 3 +
                  text_width(keep, Res::get("UI_BACKUP")),
              client_width(keep))
        << tag;

    COMBOBOXINFO combo{};
    combo.cbSize = sizeof(combo);
    ASSERT_TRUE(GetComboBoxInfo(view->control(Control::cbxSticks), &combo));
    for (const char *key : {"UI_STICKS_REFRESH", "UI_STICKS_SELECT"}) {
      view->set_hint(Res::get(key));
      EXPECT_LE(text_width(combo.hwndItem, Res::get(key)),
                client_width(combo.hwndItem))
          << tag << " " << key;
    }
  }
  Res::init_for("en-US");
}

// The scheme's colours for a test's life.
class SchemeColours {
public:
  explicit SchemeColours(std::vector<std::pair<int, COLORREF>> colours) {
    for (auto [element, colour] : colours) {
      elements_.push_back(element);
      saved_.push_back(GetSysColor(element));
      wanted_.push_back(colour);
    }
    SetSysColors(int(elements_.size()), elements_.data(), wanted_.data());
  }
  ~SchemeColours() {
    SetSysColors(int(elements_.size()), elements_.data(), saved_.data());
  }
  SchemeColours(const SchemeColours &) = delete;
  SchemeColours &operator=(const SchemeColours &) = delete;

private:
  std::vector<int> elements_;
  std::vector<COLORREF> saved_, wanted_;
};

double luminance(std::uint32_t bgr) {
  auto linear = [](unsigned value) {
    double v = value / 255.0;
    return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
  };
  return 0.2126 * linear((bgr >> 16) & 0xFF) + 0.7152 * linear((bgr >> 8) & 0xFF) +
         0.0722 * linear(bgr & 0xFF);
}

// The contrast between the darkest and the lightest pixel of `box` in the
// control as it paints itself: text against what it is drawn on.
double contrast_in(HWND control, RECT box) {
  RECT area;
  GetClientRect(control, &area);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = area.right;
  info.bmiHeader.biHeight = -area.bottom; // top row first
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  void *bits = nullptr;
  HDC dc = CreateCompatibleDC(nullptr);
  HBITMAP canvas = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(dc, canvas);
  SendMessageW(control, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(dc), PRF_CLIENT);
  GdiFlush();
  double darkest = 1, lightest = 0;
  for (LONG y = box.top; y < std::min(box.bottom, area.bottom); ++y)
    for (LONG x = box.left; x < std::min(box.right, area.right); ++x) {
      double l = luminance(static_cast<std::uint32_t *>(bits)[y * area.right + x]);
      darkest = std::min(darkest, l);
      lightest = std::max(lightest, l);
    }
  SelectObject(dc, old);
  DeleteObject(canvas);
  DeleteDC(dc);
  return (lightest + 0.05) / (darkest + 0.05);
}

// High Contrast Black makes the window text white; the header picture and
// the window's white stay light, so the title and the labels keep text
// that reads on them (4.5:1, as for normal text).
TEST_F(Win32MainViewTest, TextOnTheLightHeaderAndBodyReadsInADarkScheme) {
  SchemeColours dark({{COLOR_WINDOW, RGB(0, 0, 0)},
                      {COLOR_WINDOWTEXT, RGB(255, 255, 255)},
                      {COLOR_BTNFACE, RGB(0, 0, 0)},
                      {COLOR_BTNTEXT, RGB(255, 255, 255)},
                      {COLOR_GRAYTEXT, RGB(63, 242, 63)}});
  const Scale &s = view->scale();
  Res::init_for("en-US");
  view->set_text(Control::lblTitle, Res::get("UI_TITLE"));
  view->set_text(Control::lblSticks, Res::get("UI_STICKS"));
  view->show();
  RECT title{s.dx(18), s.dy(32), s.dx(18 + 103), s.dy(32 + 25)};
  EXPECT_GE(contrast_in(view->control(Control::lblTitle), title), 4.5);
  RECT label;
  GetClientRect(view->control(Control::lblSticks), &label);
  EXPECT_GE(contrast_in(view->control(Control::lblSticks), label), 4.5);
}

// The pixel at (x, y) of the control as it paints itself, as 0xBBGGRR.
COLORREF pixel_in(HWND control, int x, int y) {
  RECT area;
  GetClientRect(control, &area);
  HDC screen = GetDC(nullptr);
  HDC dc = CreateCompatibleDC(screen);
  HBITMAP canvas = CreateCompatibleBitmap(screen, area.right, area.bottom);
  ReleaseDC(nullptr, screen);
  HGDIOBJ old = SelectObject(dc, canvas);
  SendMessageW(control, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(dc), PRF_CLIENT);
  COLORREF colour = GetPixel(dc, x, y);
  SelectObject(dc, old);
  DeleteObject(canvas);
  DeleteDC(dc);
  return colour;
}

// In a high-contrast scheme the body takes the scheme's colours, which the
// user reads by; the check box's text, which a theme draws in its own
// colour, reads on it in every such scheme (4.5:1), the labels too. Wine
// has no high-contrast switch, so the test sets the window's.
TEST_F(Win32MainViewTest, BodyTextReadsInEveryHighContrastScheme) {
  const struct {
    const char *name;
    COLORREF window, text;
  } schemes[] = {
      {"High Contrast Black", RGB(0, 0, 0), RGB(255, 255, 255)},
      {"High Contrast White", RGB(255, 255, 255), RGB(0, 0, 0)},
      {"High Contrast #1", RGB(0, 0, 0), RGB(255, 255, 0)},
      {"High Contrast #2", RGB(0, 0, 0), RGB(0, 255, 0)},
      {"Aquatic", RGB(32, 32, 32), RGB(255, 255, 255)},
      {"Desert", RGB(255, 250, 239), RGB(61, 61, 61)},
  };
  Res::init_for("en-US");
  view->set_text(Control::chkKeep, Res::get("UI_BACKUP"));
  view->set_text(Control::lblSticks, Res::get("UI_STICKS"));
  view->show();
  HWND keep = view->control(Control::chkKeep);
  HWND label = view->control(Control::lblSticks);
  RECT text;
  GetClientRect(keep, &text);
  text.left = GetSystemMetrics(SM_CXMENUCHECK) + 3; // beside the box
  RECT whole_label;
  GetClientRect(label, &whole_label);
  for (const auto &scheme : schemes) {
    SchemeColours colours({{COLOR_WINDOW, scheme.window},
                           {COLOR_WINDOWTEXT, scheme.text},
                           {COLOR_BTNFACE, scheme.window},
                           {COLOR_BTNTEXT, scheme.text}});
    view->follow_scheme(true);
    EXPECT_GE(contrast_in(keep, text), 4.5) << scheme.name;
    EXPECT_GE(contrast_in(label, whole_label), 4.5) << scheme.name;
    EXPECT_EQ(pixel_in(keep, text.right - 1, 0), scheme.window) << scheme.name;
    EXPECT_EQ(pixel_in(label, whole_label.right - 1, 0), scheme.window)
        << scheme.name;
  }
  // Without high contrast the body is the design's white again.
  view->follow_scheme(false);
  EXPECT_EQ(pixel_in(keep, text.right - 1, 0), RGB(255, 255, 255));
  EXPECT_GE(contrast_in(keep, text), 4.5);
}

// The hint lives in the list's text field, which draws it with the focus
// too: the list has the focus when the window opens.
TEST_F(Win32MainViewTest, HintIsTheTextFieldsBanner) {
  view->show();
  view->set_hint("Refresh to search for devices.");
  COMBOBOXINFO combo{};
  combo.cbSize = sizeof(combo);
  ASSERT_TRUE(GetComboBoxInfo(view->control(Control::cbxSticks), &combo));
  wchar_t banner[64] = {};
  ASSERT_TRUE(SendMessageW(combo.hwndItem, EM_GETCUEBANNER,
                           reinterpret_cast<WPARAM>(banner), 64));
  EXPECT_EQ(std::wstring(banner), L"Refresh to search for devices.");
  EXPECT_EQ(GetFocus(), combo.hwndItem);
  wchar_t text[8] = {};
  EXPECT_EQ(GetWindowTextW(combo.hwndItem, text, 8), 0) << "the hint is no entry";
}

struct RecordingAboutEvents : AboutEvents {
  AboutView *view = nullptr;
  int loads = 0;
  void frmAbout_Load() override {
    ++loads;
    view->set_title("About/Help");
    view->set_page("<html><body>doc</body></html>");
  }
  bool webBrowser1_Navigating(const std::string &) override { return false; }
};

TEST(Win32AboutView, LoadsOnFirstShowingOnlyAndClosesAtTheUsersRequest) {
  if (!have_display())
    GTEST_SKIP() << "no display for windows";
  Win32Toolkit toolkit;
  RecordingAboutEvents events;
  std::unique_ptr<AboutView> view = toolkit.create_about_view(events);
  events.view = view.get();
  EXPECT_EQ(events.loads, 0);
  EXPECT_FALSE(view->is_visible());
  view->show();
  view->show();
  EXPECT_EQ(events.loads, 1);
  EXPECT_TRUE(view->is_visible());

  HWND window = FindWindowW(L"Corvantix.About", L"About/Help");
  ASSERT_NE(window, nullptr);
  LONG style = GetWindowLongW(window, GWL_STYLE);
  EXPECT_TRUE(style & WS_MAXIMIZEBOX);
  EXPECT_FALSE(style & WS_MINIMIZEBOX);
  SendMessageW(window, WM_CLOSE, 0, 0);
  EXPECT_TRUE(view->is_closed());
  EXPECT_FALSE(view->is_visible());
  EXPECT_FALSE(IsWindow(window));
}

} // namespace
} // namespace corvantix::win32
