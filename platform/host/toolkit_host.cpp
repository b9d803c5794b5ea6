#include "platform/host/toolkit_host.h"

#include "platform/host/gtk_views.h"
#include "strings/error.h"
#include "ui/view.h"

#include <cstdlib>
#include <future>
#include <iostream>
#include <utility>

#include <gtk/gtk.h>

namespace corvantix {
namespace {

bool display_named() {
  const char *x11 = std::getenv("DISPLAY");
  const char *wayland = std::getenv("WAYLAND_DISPLAY");
  return (x11 && *x11) || (wayland && *wayland);
}

Toolkit::Answer stream_box(const std::string &text, const std::string &title,
                           Toolkit::Buttons buttons) {
  std::cerr << (title.empty() ? "" : "[" + title + "] ") << text << "\n";
  return buttons == Toolkit::Buttons::YesNo ? Toolkit::Answer::Yes
                                            : Toolkit::Answer::Ok;
}

} // namespace

namespace gtk {

Toolkit::Answer message_dialog(GtkWindow *owner, const std::string &text,
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
  gint response = gtk_dialog_run(GTK_DIALOG(dialog));
  gtk_widget_destroy(dialog);
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
}

HostToolkit::~HostToolkit() {
  for (std::thread &worker : workers_)
    worker.join();
  // Wake-ups of posts that an earlier drain has served are still queued.
  while (g_idle_remove_by_data(this)) {
  }
}

void HostToolkit::enable_visual_styles() {
  if (display_)
    gtk::install_style();
}

Toolkit::Answer HostToolkit::message_box(const std::string &text,
                                         const std::string &title,
                                         Buttons buttons) {
  if (!display_)
    return stream_box(text, title, buttons);
  if (!posting_needed())
    return gtk::message_dialog(nullptr, text, title, buttons);
  // From a worker: the box is shown by the window thread, which stays
  // responsive; only the worker waits.
  struct Request {
    const std::string &text, &title;
    Buttons buttons;
    std::promise<Answer> answer;
  } request{text, title, buttons, {}};
  std::future<Answer> answer = request.answer.get_future();
  g_idle_add(
      [](gpointer data) -> gboolean {
        auto *request = static_cast<Request *>(data);
        request->answer.set_value(gtk::message_dialog(
            nullptr, request->text, request->title, request->buttons));
        return G_SOURCE_REMOVE;
      },
      &request);
  return answer.get();
}

void HostToolkit::require_display() const {
  if (!display_)
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
  window.show();
  while (!window.is_closed())
    g_main_context_iteration(nullptr, TRUE);
  window_thread_calls_.leave(outer);
}

void HostToolkit::post(std::function<void()> call) {
  window_thread_calls_.push(std::move(call));
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
  workers_.emplace_back([work = std::move(work),
                         completion = std::move(completion)] {
    std::exception_ptr failure;
    try {
      work();
    } catch (...) {
      failure = std::current_exception();
    }
    completion(failure);
  });
}

} // namespace corvantix
