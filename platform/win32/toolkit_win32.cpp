#include "platform/win32/toolkit_win32.h"

#include "platform/win32/text.h"
#include "platform/win32/win32_views.h"
#include "strings/error.h"
#include "ui/view.h"

#include <commctrl.h>
#include <objbase.h>
#include <ole2.h>

#include <utility>

namespace corvantix {
namespace {

constexpr wchar_t post_class[] = L"Corvantix.Post";
constexpr UINT post_message = WM_APP;

// The system's one-line text for a Win32 error code.
std::string system_text(DWORD code) {
  wchar_t *text = nullptr;
  DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
          FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
  std::wstring message = length ? std::wstring(text, length) : L"";
  LocalFree(text);
  while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r'))
    message.pop_back();
  if (message.empty())
    message = L"Error " + std::to_wstring(code) + L".";
  return win32::narrow(message);
}

// One run on a thread-pool thread.
struct Job {
  std::function<void()> work;
  std::function<void(std::exception_ptr)> completion;

  static void CALLBACK run(PTP_CALLBACK_INSTANCE, void *context) {
    std::unique_ptr<Job> job(static_cast<Job *>(context));
    // The pipeline may talk to COM (the disk inventory); a pool thread
    // joins the multithreaded apartment for the run.
    HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    std::exception_ptr failure;
    try {
      job->work();
    } catch (...) {
      failure = std::current_exception();
    }
    job->completion(failure);
    if (SUCCEEDED(com))
      CoUninitialize();
  }
};

} // namespace

Win32Toolkit::Win32Toolkit() : window_thread_(GetCurrentThreadId()) {
  // In-place activation of the WebBrowser control needs OLE, not only COM.
  ole_ = SUCCEEDED(OleInitialize(nullptr));
  HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSEXW type{};
  type.cbSize = sizeof(type);
  type.lpfnWndProc = post_procedure;
  type.hInstance = instance;
  type.lpszClassName = post_class;
  RegisterClassExW(&type); // fails harmlessly when already registered
  post_window_ = CreateWindowExW(0, post_class, L"", 0, 0, 0, 0, 0,
                                 HWND_MESSAGE, nullptr, instance, this);
  if (post_window_)
    SetWindowLongPtrW(post_window_, GWLP_USERDATA,
                      reinterpret_cast<LONG_PTR>(this));
}

Win32Toolkit::~Win32Toolkit() {
  if (post_window_)
    DestroyWindow(post_window_);
  if (ole_)
    OleUninitialize();
}

UINT Win32Toolkit::pretranslate_message() {
  static const UINT message = RegisterWindowMessageW(L"Corvantix.PreTranslate");
  return message;
}

// The manifest selects common controls version 6; registering the classes
// makes the styled controls available to every later window.
void Win32Toolkit::enable_visual_styles() {
  INITCOMMONCONTROLSEX controls{sizeof(controls),
                                ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES |
                                    ICC_PROGRESS_CLASS | ICC_BAR_CLASSES};
  InitCommonControlsEx(&controls);
}

Toolkit::Answer Win32Toolkit::message_box(const std::string &text,
                                          const std::string &title,
                                          Buttons buttons) {
  UINT style = buttons == Buttons::YesNo ? MB_YESNO | MB_DEFBUTTON1 : MB_OK;
  int pressed = MessageBoxW(nullptr, win32::widen(text).c_str(),
                            win32::widen(title).c_str(), style | MB_TASKMODAL);
  if (buttons == Buttons::Ok)
    return Answer::Ok;
  return pressed == IDYES ? Answer::Yes : Answer::No;
}

std::unique_ptr<MainView> Win32Toolkit::create_main_view(MainEvents &events) {
  return win32::make_main_view(*this, events);
}

std::unique_ptr<AboutView> Win32Toolkit::create_about_view(AboutEvents &events) {
  return win32::make_about_view(*this, events);
}

void Win32Toolkit::run(WindowView &window) {
  WindowView *outer = window_thread_calls_.enter(window);
  window.show();
  MSG msg;
  while (!window.is_closed()) {
    BOOL got = GetMessageW(&msg, nullptr, 0, 0);
    if (got == 0) {
      // Someone asked the thread to quit: pass it on to an outer loop.
      PostQuitMessage(int(msg.wParam));
      break;
    }
    if (got < 0)
      break;
    HWND root = msg.hwnd ? GetAncestor(msg.hwnd, GA_ROOT) : nullptr;
    if (root && SendMessageW(root, pretranslate_message(), 0,
                             reinterpret_cast<LPARAM>(&msg)))
      continue;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  window_thread_calls_.leave(outer);
}

void Win32Toolkit::post(std::function<void()> call) {
  window_thread_calls_.push(std::move(call));
  // The message only wakes the window thread; the queue keeps the order.
  // Should the thread's message queue be full, the call still runs with
  // the next wake-up.
  PostMessageW(post_window_, post_message, 0, 0);
}

LRESULT CALLBACK Win32Toolkit::post_procedure(HWND window, UINT message,
                                              WPARAM wparam, LPARAM lparam) {
  if (message == post_message) {
    auto *toolkit = reinterpret_cast<Win32Toolkit *>(
        GetWindowLongPtrW(window, GWLP_USERDATA));
    if (toolkit)
      toolkit->window_thread_calls_.drain();
    return 0;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

bool Win32Toolkit::posting_needed() const {
  return GetCurrentThreadId() != window_thread_;
}

void Win32Toolkit::run_worker(
    std::function<void()> work,
    std::function<void(std::exception_ptr)> completion) {
  auto job = std::make_unique<Job>(Job{std::move(work), std::move(completion)});
  if (!TrySubmitThreadpoolCallback(&Job::run, job.get(), nullptr))
    throw Error(system_text(GetLastError()));
  job.release(); // the pool thread owns it now
}

} // namespace corvantix
