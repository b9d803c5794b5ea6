// frmAbout drawn with GTK: one WebKit view filling the window. The title
// bar is the window's own header bar, so it has a maximise box and no
// minimise box under any window manager.
#include "platform/host/gtk/gtk_views.h"

#include <webkit2/webkit2.h>

namespace corvantix::gtk {
namespace {

constexpr int client_width = 784, client_height = 562;
constexpr int view_minimum = 20;

// The address that pages handed over as text load at. WebKit reports the
// load as a navigation to it, which the navigation rule lets pass.
constexpr const char page_base[] = "about:blank";

class GtkAboutView final : public AboutView, gtk::ToolkitWindow {
public:
  GtkAboutView(HostToolkit &toolkit, AboutEvents &events);
  ~GtkAboutView() override;
  void abandon() override;

  void show() override;
  void close() override;
  bool is_closed() const override { return closed_; }
  bool is_visible() const override {
    return shown_ && !closed_ && gtk_widget_get_visible(window_);
  }
  void set_title(const std::string &title) override {
    if (!closed_)
      gtk_window_set_title(GTK_WINDOW(window_), title.c_str());
  }
  void set_page(const std::string &html) override;

private:
  bool decide(WebKitPolicyDecision *decision, WebKitPolicyDecisionType type);
  void load_pending();

  HostToolkit &toolkit_;
  AboutEvents &events_;
  GtkWidget *window_;
  GtkWidget *web_ = nullptr;
  std::string page_;
  guint pending_ = 0; ///< idle source that hands page_ to the view
  bool loaded_ = false, shown_ = false, closed_ = false;
};

GtkAboutView::GtkAboutView(HostToolkit &toolkit, AboutEvents &events)
    : toolkit_(toolkit), events_(events),
      window_(gtk_window_new(GTK_WINDOW_TOPLEVEL)) {
  toolkit_.add_window(*this);
  GtkWidget *bar = gtk_header_bar_new();
  gtk_header_bar_set_show_close_button(GTK_HEADER_BAR(bar), TRUE);
  gtk_header_bar_set_decoration_layout(GTK_HEADER_BAR(bar), ":maximize,close");
  gtk_window_set_titlebar(GTK_WINDOW(window_), bar);
  gtk_widget_show(bar);
  set_program_icon(GTK_WINDOW(window_));

  web_ = webkit_web_view_new();
  gtk_widget_set_size_request(web_, view_minimum, view_minimum);
  gtk_container_add(GTK_CONTAINER(window_), web_);
  gtk_widget_show(web_);

  // The size of the window below its header bar.
  gtk_window_set_default_size(GTK_WINDOW(window_), client_width, client_height);

  g_signal_connect(web_, "decide-policy",
                   G_CALLBACK(+[](WebKitWebView *, WebKitPolicyDecision *decision,
                                  WebKitPolicyDecisionType type, gpointer view) {
                     return gboolean(static_cast<GtkAboutView *>(view)->decide(decision, type));
                   }),
                   this);
  g_signal_connect(window_, "delete-event",
                   G_CALLBACK(+[](GtkWidget *, GdkEvent *, gpointer view) {
                     static_cast<GtkAboutView *>(view)->close();
                     return TRUE;
                   }),
                   this);
  g_signal_connect(window_, "destroy", G_CALLBACK(+[](GtkWidget *, gpointer view) {
                     static_cast<GtkAboutView *>(view)->closed_ = true;
                   }),
                   this);
}

GtkAboutView::~GtkAboutView() {
  close();
  toolkit_.remove_window(*this);
}

void GtkAboutView::abandon() {
  closed_ = true;
  if (pending_)
    g_source_remove(pending_);
  pending_ = 0;
}

void GtkAboutView::show() {
  if (closed_)
    return;
  if (!loaded_) {
    loaded_ = true;
    toolkit_.guard([this] { events_.frmAbout_Load(); });
    if (closed_)
      return;
  }
  gtk_widget_show(window_);
  shown_ = true;
}

void GtkAboutView::close() {
  if (closed_)
    return;
  closed_ = true;
  if (pending_)
    g_source_remove(pending_);
  pending_ = 0;
  gtk_widget_destroy(window_);
}

// The page is handed over from the main loop, not from inside the handler
// that may be deciding about a navigation of this view.
void GtkAboutView::set_page(const std::string &html) {
  if (closed_)
    return;
  page_ = html;
  if (!pending_)
    pending_ = g_idle_add(
        [](gpointer view) -> gboolean {
          static_cast<GtkAboutView *>(view)->load_pending();
          return G_SOURCE_REMOVE;
        },
        this);
}

void GtkAboutView::load_pending() {
  pending_ = 0;
  if (!closed_)
    webkit_web_view_load_html(WEBKIT_WEB_VIEW(web_), page_.c_str(), page_base);
}

// Every navigation goes through the window's rule first. A link that asks
// for a new window opens in this one.
bool GtkAboutView::decide(WebKitPolicyDecision *decision,
                          WebKitPolicyDecisionType type) {
  if (type != WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION &&
      type != WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION)
    return false;
  auto *navigation = WEBKIT_NAVIGATION_POLICY_DECISION(decision);
  WebKitNavigationAction *action =
      webkit_navigation_policy_decision_get_navigation_action(navigation);
  WebKitURIRequest *request = webkit_navigation_action_get_request(action);
  std::string address = webkit_uri_request_get_uri(request);

  bool cancel = true; // also when the handler fails
  toolkit_.guard([&] {
    cancel = events_.webBrowser1_Navigating(address);
  });
  if (!cancel && type == WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION &&
      !closed_) {
    webkit_web_view_load_request(WEBKIT_WEB_VIEW(web_), request);
    cancel = true;
  }
  if (cancel)
    webkit_policy_decision_ignore(decision);
  else
    webkit_policy_decision_use(decision);
  return true;
}

} // namespace

std::unique_ptr<AboutView> make_about_view(HostToolkit &toolkit,
                                           AboutEvents &events) {
  return std::make_unique<GtkAboutView>(toolkit, events);
}

} // namespace corvantix::gtk
