#include "platform/host/gtk/toolkit_host.h"

#include "platform/host/gtk/gtk_views.h"
#include "platform/host/window_module.h"
#include "strings/error.h"
#include "ui/view.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <future>
#include <iostream>
#include <utility>

#include <gtk/gtk.h>
#ifdef GDK_WINDOWING_X11
#include <X11/Xlib.h>
#include <gdk/gdkx.h>
#endif
#include <glib-unix.h>

namespace corvantix {
namespace {

constexpr int ending_signals[] = {SIGTERM, SIGINT, SIGHUP};

#ifdef GDK_WINDOWING_X11
// GDK's own handler ends the process at once; ours lets Xlib return, with
// every later call on the connection failing at once, so that a run under
// way reaches its end and the program ends through its usual path.
int quiet_io_error(Display *) { return 0; }

void lost_display(Display *, void *toolkit) {
  static_cast<HostToolkit *>(toolkit)->lose_display();
}

Display *x_display() {
  GdkDisplay *display = gdk_display_get_default();
  if (!display || !GDK_IS_X11_DISPLAY(display))
    return nullptr;
  return gdk_x11_display_get_xdisplay(display);
}

// Another X client may destroy our windows without asking. Requests GDK
// sent for them before it learnt of it then fail (BadWindow, BadDrawable,
// and errors on what those requests would have made), and GDK ends the
// process on any error that no trap of its own catches. One trap for the
// toolkit's life catches them; GDK's own traps inside it still see theirs.
void watch_x_connection(HostToolkit &toolkit) {
  if (Display *display = x_display()) {
    gdk_x11_display_error_trap_push(gdk_display_get_default());
    XSetIOErrorHandler(quiet_io_error);
    XSetIOErrorExitHandler(display, lost_display, &toolkit);
  }
}

// Xlib's own exit handler and GDK's error handling again: the toolkit is
// going.
void unwatch_x_connection() {
  if (Display *display = x_display()) {
    XSetIOErrorExitHandler(display, nullptr, nullptr);
    gdk_x11_display_error_trap_pop_ignored(gdk_display_get_default());
  }
}
#else
void watch_x_connection(HostToolkit &) {}
void unwatch_x_connection() {}
#endif

} // namespace

// A box that a worker waits for: shown by the window thread, or answered
// from the error stream when no window runs to show it.
struct HostToolkit::WorkerBox {
  std::string text, title;
  Buttons buttons;
  std::promise<Answer> answer;
};

namespace gtk {

Toolkit::Answer message_dialog(HostToolkit &toolkit, GtkWindow *owner,
                               const std::string &text,
                               const std::string &title,
                               Toolkit::Buttons buttons) {
  bool yes_no = buttons == Toolkit::Buttons::YesNo;
  GtkWidget *dialog = gtk_message_dialog_new(
      owner, GtkDialogFlags(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT),
      GTK_MESSAGE_OTHER, yes_no ? GTK_BUTTONS_YES_NO : GTK_BUTTONS_OK, "%s",
      text.c_str());
  gtk_window_set_title(GTK_WINDOW(dialog), title.c_str());
  gtk_dialog_set_default_response(GTK_DIALOG(dialog),
                                  yes_no ? GTK_RESPONSE_YES : GTK_RESPONSE_OK);
  if (!owner)
    gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER);
  // Destroying the owner ends the dialog too; the reference keeps it ours
  // until we are done with it.
  g_object_ref_sink(dialog);
  toolkit.add_box(dialog);
  gint response = gtk_dialog_run(GTK_DIALOG(dialog));
  toolkit.remove_box(dialog);
  if (!toolkit.display_lost())
    gtk_widget_destroy(dialog);
  g_object_unref(dialog);
  if (!yes_no)
    return Toolkit::Answer::Ok;
  return response == GTK_RESPONSE_YES ? Toolkit::Answer::Yes
                                      : Toolkit::Answer::No;
}

} // namespace gtk

HostToolkit::HostToolkit() : window_thread_(std::this_thread::get_id()) {
  // gtk_init_check would also look for a display that no variable names;
  // asking first keeps a run without one free of GTK.
  // The process keeps the C locale: GTK would otherwise switch it to the
  // user's, and with it how the system code formats numbers.
  gtk_disable_setlocale();
  display_ = display_named() && gtk_init_check(nullptr, nullptr);
  if (!display_)
    return;
  watch_x_connection(*this);
  for (int signal : ending_signals) {
    auto watch = std::make_unique<SignalWatch>(SignalWatch{this, signal, 0});
    watch->source = g_unix_signal_add(
        signal,
        [](gpointer data) -> gboolean {
          auto *watch = static_cast<SignalWatch *>(data);
          watch->toolkit->end_by_signal(watch->signal);
          return G_SOURCE_CONTINUE;
        },
        watch.get());
    signal_watches_.push_back(std::move(watch));
  }
}

HostToolkit::~HostToolkit() {
  for (std::thread &worker : workers_)
    worker.join();
  // Wake-ups of posts that an earlier drain has served are still queued.
  while (g_idle_remove_by_data(this)) {
  }
  for (const auto &watch : signal_watches_)
    g_source_remove(watch->source);
  if (display_)
    unwatch_x_connection();
}

void HostToolkit::enable_visual_styles() {
  if (has_display())
    gtk::install_style();
}

Toolkit::Answer HostToolkit::message_box(const std::string &text,
                                         const std::string &title,
                                         Buttons buttons) {
  if (boxes_to_stream())
    return stream_box(text, title, buttons);
  if (posting_needed())
    return box_for_worker(text, title, buttons);
  return gtk::message_dialog(*this, nullptr, text, title, buttons);
}

void HostToolkit::note(const std::string &text, const std::string &title) {
  stream_box(text, title, Buttons::Ok);
}

// The box is shown by the window thread, which stays responsive; only the
// worker waits. It goes through the posted calls, so it comes after the
// progress posted before it.
Toolkit::Answer HostToolkit::box_for_worker(const std::string &text,
                                            const std::string &title,
                                            Buttons buttons) {
  auto box = std::make_shared<WorkerBox>(WorkerBox{text, title, buttons, {}});
  std::future<Answer> answer = box->answer.get_future();
  {
    std::lock_guard lock(worker_boxes_mutex_);
    if (runs_ == 0 || boxes_to_stream())
      return stream_box(text, title, buttons);
    worker_boxes_.push_back(box);
  }
  post([this, box] {
    {
      std::lock_guard lock(worker_boxes_mutex_);
      auto at = std::find(worker_boxes_.begin(), worker_boxes_.end(), box);
      if (at == worker_boxes_.end())
        return; // answered already
      worker_boxes_.erase(at);
    }
    box->answer.set_value(message_box(box->text, box->title, box->buttons));
  });
  return answer.get();
}

void HostToolkit::answer_waiting_boxes() {
  std::vector<std::shared_ptr<WorkerBox>> waiting;
  {
    std::lock_guard lock(worker_boxes_mutex_);
    waiting.swap(worker_boxes_);
  }
  for (const auto &box : waiting)
    box->answer.set_value(stream_box(box->text, box->title, box->buttons));
}

void HostToolkit::require_display() const {
  if (!has_display())
    throw Error("The windows cannot be shown: there is no display.");
}

std::unique_ptr<MainView> HostToolkit::create_main_view(MainEvents &events) {
  require_display();
  return gtk::make_main_view(*this, events);
}

std::unique_ptr<AboutView> HostToolkit::create_about_view(AboutEvents &events) {
  require_display();
  return gtk::make_about_view(*this, events);
}

// The loop is GLib's: it also runs posted calls for a window that is not
// GTK's own.
void HostToolkit::run(WindowView &window) {
  WindowView *outer = window_thread_calls_.enter(window);
  WindowView *outer_running = std::exchange(running_, &window);
  {
    std::lock_guard lock(worker_boxes_mutex_);
    ++runs_;
  }
  // Told to end before the window runs: it closes at once.
  if (ending_signal_)
    window.close();
  window.show();
  while (!window.is_closed())
    g_main_context_iteration(nullptr, TRUE);
  {
    std::lock_guard lock(worker_boxes_mutex_);
    --runs_;
  }
  if (runs_ == 0)
    answer_waiting_boxes();
  running_ = outer_running;
  window_thread_calls_.leave(outer);
}

void HostToolkit::wake(int workers_ending) {
  {
    std::lock_guard lock(wake_mutex_);
    ++wakeups_;
    busy_workers_ -= workers_ending;
  }
  woken_.notify_all();
}

void HostToolkit::post(std::function<void()> call) {
  window_thread_calls_.push(std::move(call));
  wake(0);
  g_idle_add(
      [](gpointer toolkit) -> gboolean {
        static_cast<HostToolkit *>(toolkit)->window_thread_calls_.drain();
        return G_SOURCE_REMOVE;
      },
      this);
}

bool HostToolkit::posting_needed() const {
  return std::this_thread::get_id() != window_thread_;
}

void HostToolkit::run_worker(
    std::function<void()> work,
    std::function<void(std::exception_ptr)> completion) {
  // Earlier runs have ended (one run at a time); their threads are done or
  // about to be.
  for (std::thread &worker : workers_)
    worker.join();
  workers_.clear();
  {
    std::lock_guard lock(wake_mutex_);
    ++busy_workers_;
  }
  workers_.emplace_back([this, work = std::move(work),
                         completion = std::move(completion)] {
    std::exception_ptr failure;
    try {
      work();
    } catch (...) {
      failure = std::current_exception();
    }
    completion(failure);
    wake(1);
  });
}

void HostToolkit::add_window(gtk::ToolkitWindow &window) {
  windows_.push_back(&window);
}

void HostToolkit::remove_window(gtk::ToolkitWindow &window) {
  std::erase(windows_, &window);
}

void HostToolkit::add_box(void *dialog) { modal_boxes_.push_back(dialog); }

void HostToolkit::remove_box(void *dialog) { std::erase(modal_boxes_, dialog); }

// Modal boxes run loops of their own; each ends as if dismissed.
void HostToolkit::end_modal_boxes() {
  std::vector<void *> boxes = modal_boxes_;
  for (void *dialog : boxes)
    gtk_dialog_response(GTK_DIALOG(dialog), GTK_RESPONSE_NONE);
}

// On the window thread, from GLib's signal source: the program is to end.
// The running window closes as its close box would, even while disabled.
void HostToolkit::end_by_signal(int signal) {
  if (!ending_signal_)
    ending_signal_ = signal;
  end_modal_boxes();
  answer_waiting_boxes();
  if (running_)
    running_->close();
}

// On the window thread, inside Xlib: nothing may touch GTK again. The run
// under way ends on its worker; its posted calls, its end among them, run
// here with every window counted closed, so its outcome goes to the error
// stream. Then the program ends like any X program that lost its display,
// with 1, its machine put away by the static destructors.
void HostToolkit::lose_display() {
  display_lost_ = true;
  std::cerr << "The connection to the display was lost." << std::endl;
  for (gtk::ToolkitWindow *window : std::vector(windows_))
    window->abandon();
  answer_waiting_boxes();
  for (;;) {
    unsigned seen;
    {
      std::lock_guard lock(wake_mutex_);
      seen = wakeups_;
    }
    while (window_thread_calls_.run_next()) {
    }
    std::unique_lock lock(wake_mutex_);
    if (busy_workers_ == 0)
      break;
    woken_.wait(lock, [&] { return wakeups_ != seen; });
  }
  while (window_thread_calls_.run_next()) {
  }
  std::exit(1);
}

} // namespace corvantix
