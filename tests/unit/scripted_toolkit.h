// A toolkit whose windows are records: what a person would see (texts,
// enabled and visible states, message boxes) is kept for the test, and the
// test acts as the person, clicking controls and answering Yes/No boxes.
// Posted calls wait in a queue until the test pumps them, in posting order,
// on the test's thread, which plays the window thread. Workers run on a
// real thread, to completion, before run_worker returns.
#pragma once

#include "unit/recording_toolkit.h"
#include "ui/view.h"

#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace corvantix::test {

/// Everything one window has shown; kept after the window is gone.
struct WindowRecord {
  std::vector<std::string> *log = nullptr; ///< the toolkit's common log
  std::string title;
  bool shown = false;
  bool closed = false;
  bool loaded = false; ///< the Load event was raised

  bool visible() const { return shown && !closed; }
  void note(const std::string &entry) const { log->push_back(entry); }
};

struct MainRecord : WindowRecord {
  struct Box {
    std::string text;
    std::string title;
    bool yes_no;
    // The window as the box found it.
    bool window_enabled;
    bool bar_visible;
    std::string format_caption;
  };

  MainEvents *events = nullptr; ///< null once the view is destroyed
  std::map<Control, std::string> text, tooltip;
  std::map<Control, bool> disabled, hidden;
  bool window_enabled = true;
  bool checked = false;
  std::vector<std::string> items;
  std::uint32_t selected = no_selection;
  std::string hint;
  int progress = 0;
  std::vector<int> progress_shown; ///< every value the bar was set to
  std::optional<Control> focus;
  std::vector<Box> boxes;
  std::deque<bool> answers; ///< Yes/No answers; No when none is left
  bool reports_selection = false; ///< set_selected calls the handler too

  bool enabled(Control c) const { return !disabled.count(c) || !disabled.at(c); }
  bool visible_control(Control c) const { return !hidden.count(c) || !hidden.at(c); }
  /// Whether a person could use the control now.
  bool usable(Control c) const { return visible() && window_enabled && enabled(c); }

  /// A person clicks a button; false when the control takes no input.
  bool click(Control c);
  /// A person picks an entry of the device list.
  bool pick(std::uint32_t index);
  /// A person ticks or clears the check box.
  bool tick(bool on);
  /// The window is destroyed from outside (a window manager, another X
  /// client): closed without the program asking.
  void destroy() {
    closed = true;
    note("main destroyed");
  }
};

struct AboutRecord : WindowRecord {
  AboutEvents *events = nullptr;
  std::vector<std::string> pages; ///< every page text handed to the view
  /// The view navigates as on a click; true when it loads the address.
  bool navigate(const std::string &address);
};

class ScriptedToolkit : public RecordingToolkit {
public:
  ScriptedToolkit() : window_thread_(std::this_thread::get_id()) {}

  /// What the person does while `run` runs; the window is closed after it
  /// (as by its close box) if the script leaves it open.
  std::function<void(ScriptedToolkit &)> script;

  std::vector<std::string> log; ///< boxes, finishes, scans... in order
  std::vector<std::shared_ptr<MainRecord>> mains;
  std::vector<std::shared_ptr<AboutRecord>> abouts;
  int runs = 0;
  int workers = 0;
  bool refuse_workers = false; ///< run_worker fails as without a pool
  /// Workers run on beside the window thread instead of to completion
  /// within run_worker; the toolkit joins them when it goes.
  bool concurrent_workers = false;
  /// For each message box: how many workers' work was still running.
  std::vector<int> workers_busy_at_box;

  ~ScriptedToolkit() override;

  MainRecord &main() { return *mains.back(); }
  AboutRecord &about() { return *abouts.back(); }

  /// Runs queued posted calls in order, including calls they post; returns
  /// how many ran.
  int pump();
  std::size_t queued();

  std::unique_ptr<MainView> create_main_view(MainEvents &events) override;
  std::unique_ptr<AboutView> create_about_view(AboutEvents &events) override;
  void run(WindowView &window) override;
  void post(std::function<void()> call) override;
  bool posting_needed() const override {
    return std::this_thread::get_id() != window_thread_;
  }
  void run_worker(std::function<void()> work,
                  std::function<void(std::exception_ptr)> completion) override;
  Answer message_box(const std::string &text, const std::string &title,
                     Buttons buttons) override {
    workers_busy_at_box.push_back(busy_);
    return RecordingToolkit::message_box(text, title, buttons);
  }

private:
  std::atomic<int> busy_{0};
  std::vector<std::thread> concurrent_;
  std::thread::id window_thread_;
  std::mutex mutex_;
  std::deque<std::function<void()>> posted_;
};

} // namespace corvantix::test
