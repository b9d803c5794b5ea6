#include "unit/scripted_toolkit.h"

#include <stdexcept>

namespace corvantix::test {
namespace {

class ScriptedMainView : public MainView {
public:
  ScriptedMainView(std::shared_ptr<MainRecord> record, MainEvents &events)
      : r_(std::move(record)) {
    r_->events = &events;
  }
  ~ScriptedMainView() override {
    r_->closed = true;
    r_->events = nullptr;
  }

  void show() override {
    if (r_->closed)
      return;
    r_->shown = true;
  }
  void close() override {
    if (!r_->closed)
      r_->note("close main");
    r_->closed = true;
  }
  bool is_closed() const override { return r_->closed; }
  bool is_visible() const override { return r_->visible(); }
  void set_title(const std::string &title) override { live().title = title; }

  void set_text(Control c, const std::string &text) override {
    if (c == Control::cbxSticks || c == Control::prgFormat)
      throw std::logic_error("this control has no caption");
    live().text[c] = text;
  }
  void set_tooltip(Control c, const std::string &text) override {
    live().tooltip[c] = text;
  }
  void set_enabled(Control c, bool on) override { live().disabled[c] = !on; }
  bool is_enabled(Control c) const override { return r_->enabled(c); }
  void set_visible(Control c, bool on) override { live().hidden[c] = !on; }
  void set_window_enabled(bool on) override { live().window_enabled = on; }
  void set_checked(bool on) override { live().checked = on; }
  bool is_checked() const override { return r_->checked; }
  void clear_items() override {
    live().items.clear();
    r_->selected = no_selection;
  }
  void add_item(const std::string &text) override {
    live().items.push_back(text);
  }
  std::uint32_t item_count() const override {
    return static_cast<std::uint32_t>(r_->items.size());
  }
  void set_selected(std::uint32_t index) override {
    if (index != no_selection && index >= r_->items.size())
      throw std::out_of_range("no such entry");
    live().selected = index;
    if (r_->reports_selection)
      r_->events->cbxSticks_SelectedValueChanged();
  }
  std::uint32_t selected() const override { return r_->selected; }
  void set_hint(const std::string &text) override { live().hint = text; }
  void set_progress(int value) override {
    if (value < 0 || value > progress_maximum)
      throw std::out_of_range("progress beyond the bar's range");
    live().progress = value;
    r_->progress_shown.push_back(value);
  }
  void set_focus(Control c) override { live().focus = c; }

  bool ask_yes_no(const std::string &text, const std::string &title) override {
    live().boxes.push_back(snapshot(text, title, true));
    r_->note("ask: " + text);
    bool yes = !r_->answers.empty() && r_->answers.front();
    if (!r_->answers.empty())
      r_->answers.pop_front();
    return yes;
  }
  void show_message(const std::string &text,
                    const std::string &title) override {
    live().boxes.push_back(snapshot(text, title, false));
    r_->note("message: " + text);
  }

private:
  MainRecord::Box snapshot(const std::string &text, const std::string &title,
                           bool yes_no) const {
    return {text, title, yes_no, r_->window_enabled,
            r_->visible_control(Control::prgFormat), r_->text[Control::btnFormat]};
  }

  // Controls are gone once the window has closed: touching them is a fault
  // the real toolkits would not forgive.
  MainRecord &live() {
    if (r_->closed)
      throw std::logic_error("control used after its window closed");
    return *r_;
  }

  std::shared_ptr<MainRecord> r_;
};

class ScriptedAboutView : public AboutView {
public:
  ScriptedAboutView(std::shared_ptr<AboutRecord> record, AboutEvents &events)
      : r_(std::move(record)) {
    r_->events = &events;
  }
  ~ScriptedAboutView() override {
    if (!r_->closed)
      r_->note("close about");
    r_->closed = true;
    r_->events = nullptr;
  }

  void show() override {
    if (r_->closed || r_->shown)
      return;
    r_->shown = true;
    r_->loaded = true;
    r_->events->frmAbout_Load();
  }
  void close() override {
    if (!r_->closed)
      r_->note("close about");
    r_->closed = true;
  }
  bool is_closed() const override { return r_->closed; }
  bool is_visible() const override { return r_->visible(); }
  void set_title(const std::string &title) override { r_->title = title; }
  void set_page(const std::string &html) override { r_->pages.push_back(html); }

private:
  std::shared_ptr<AboutRecord> r_;
};

} // namespace

bool MainRecord::click(Control c) {
  if (!usable(c) || !visible_control(c))
    return false;
  switch (c) {
  case Control::btnRefresh:
    events->btnRefresh_Click();
    return true;
  case Control::btnFormat:
    events->btnFormat_Click();
    return true;
  case Control::btnAbout:
    events->btnAbout_Click();
    return true;
  default:
    throw std::logic_error("not a button");
  }
}

bool MainRecord::pick(std::uint32_t index) {
  if (!usable(Control::cbxSticks) || index >= items.size())
    return false;
  selected = index;
  events->cbxSticks_SelectedValueChanged();
  return true;
}

bool MainRecord::tick(bool on) {
  if (!usable(Control::chkKeep))
    return false;
  checked = on;
  return true;
}

bool AboutRecord::navigate(const std::string &address) {
  if (!visible())
    throw std::logic_error("navigation in a closed window");
  return !events->webBrowser1_Navigating(address);
}

std::unique_ptr<MainView> ScriptedToolkit::create_main_view(MainEvents &events) {
  auto record = std::make_shared<MainRecord>();
  record->log = &log;
  mains.push_back(record);
  return std::make_unique<ScriptedMainView>(record, events);
}

std::unique_ptr<AboutView>
ScriptedToolkit::create_about_view(AboutEvents &events) {
  auto record = std::make_shared<AboutRecord>();
  record->log = &log;
  abouts.push_back(record);
  return std::make_unique<ScriptedAboutView>(record, events);
}

void ScriptedToolkit::run(WindowView &window) {
  ++runs;
  window.show();
  try {
    if (script)
      script(*this);
    pump();
  } catch (...) {
    window.close();
    throw;
  }
  window.close();
}

void ScriptedToolkit::post(std::function<void()> call) {
  std::lock_guard<std::mutex> lock(mutex_);
  posted_.push_back(std::move(call));
}

std::size_t ScriptedToolkit::queued() {
  std::lock_guard<std::mutex> lock(mutex_);
  return posted_.size();
}

int ScriptedToolkit::pump() {
  int ran = 0;
  for (;;) {
    std::function<void()> call;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (posted_.empty())
        return ran;
      call = std::move(posted_.front());
      posted_.pop_front();
    }
    call();
    ++ran;
  }
}

void ScriptedToolkit::run_worker(
    std::function<void()> work,
    std::function<void(std::exception_ptr)> completion) {
  if (refuse_workers)
    throw std::runtime_error("No worker thread.");
  ++workers;
  ++busy_;
  auto body = [this, work = std::move(work),
               completion = std::move(completion)] {
    std::exception_ptr failure;
    try {
      work();
    } catch (...) {
      failure = std::current_exception();
    }
    --busy_;
    completion(failure);
  };
  if (concurrent_workers) {
    concurrent_.emplace_back(std::move(body));
    return;
  }
  std::thread(std::move(body)).join();
}

ScriptedToolkit::~ScriptedToolkit() {
  for (std::thread &worker : concurrent_)
    worker.join();
}

} // namespace corvantix::test
