// frmCorvantix drawn with GTK: a header panel over a grid of fixed and
// proportional cells.
//
//   tlpMain   1 column; rows 91 px | rest
//   tlpBody   columns 85 px | rest | 85 px; rows rest | 29 | 29 | 29 px
//
// Each control sits in a cell box of the fixed size with a 3 px margin.
// Labels ellipsize and the controls are styled compact, so no control asks
// for more than its cell and the fixed tracks keep their size.
#include "platform/host/gtk/gtk_views.h"

#include "platform/resources.h"

#include <algorithm>
#include <array>
#include <iterator>
#include <map>

namespace corvantix::gtk {
namespace {

constexpr int header_height = 91;
constexpr int row_height = 29;
constexpr int side_width = 85;
constexpr int margin = 3;
constexpr int info_padding = 10;
constexpr int logo_width = 142;
constexpr int title_x = 18, title_y = 32;
constexpr int client_width = 634, client_height = 253;
constexpr int minimum_width = 500, minimum_height = 214;

// The window's white stays white in a dark theme, so the labels and the
// check box on it keep dark text of their own.
constexpr const char style_sheet[] = R"(
#frmCorvantix, #frmCorvantix viewport { background-color: #ffffff; }
#frmCorvantix { font-size: 8.25pt; }
#frmCorvantix button { min-height: 17px; padding: 2px 1px; }
#frmCorvantix combobox button { min-height: 0; padding: 0 4px; }
#frmCorvantix entry { min-height: 19px; padding-top: 0; padding-bottom: 0; }
#frmCorvantix progressbar trough,
#frmCorvantix progressbar progress { min-height: 21px; }
#frmCorvantix checkbutton { padding: 0; }
#frmCorvantix .on-white, #frmCorvantix .on-white label { color: #000000; }
#frmCorvantix .on-white:disabled, #frmCorvantix .on-white label:disabled { color: #8b8e8f; }
)";

// A widget's reference that drops on scope exit.
struct Unref {
  void operator()(gpointer object) const {
    if (object)
      g_object_unref(object);
  }
};
using Pixbuf = std::unique_ptr<GdkPixbuf, Unref>;

void ellipsize(GtkWidget *button) {
  GtkWidget *label = gtk_bin_get_child(GTK_BIN(button));
  if (GTK_IS_LABEL(label)) {
    gtk_label_set_ellipsize(GTK_LABEL(label), PANGO_ELLIPSIZE_END);
    gtk_label_set_max_width_chars(GTK_LABEL(label), 1);
  }
}

// A cell of the body grid: `width` or -1 for the proportional column,
// `height` or -1 for the proportional row. `fill` stretches the control
// over the cell's height; otherwise `valign` places it.
GtkWidget *cell(GtkWidget *control, int width, int height, bool fill,
                GtkAlign valign = GTK_ALIGN_FILL) {
  GtkWidget *box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
  gtk_widget_set_size_request(box, width, height);
  gtk_widget_set_hexpand(box, width < 0);
  gtk_widget_set_vexpand(box, height < 0);
  gtk_widget_set_margin_start(control, margin);
  gtk_widget_set_margin_end(control, margin);
  gtk_widget_set_margin_top(control, margin);
  gtk_widget_set_margin_bottom(control, margin);
  if (!fill)
    gtk_widget_set_valign(control, valign);
  gtk_box_pack_start(GTK_BOX(box), control, fill || valign == GTK_ALIGN_CENTER,
                     fill, 0);
  return box;
}

class GtkMainView final : public MainView, gtk::ToolkitWindow {
public:
  GtkMainView(HostToolkit &toolkit, MainEvents &events);
  ~GtkMainView() override {
    close();
    toolkit_.remove_window(*this);
  }
  void abandon() override { closed_ = true; }

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

  void set_text(Control control, const std::string &text) override;
  void set_tooltip(Control control, const std::string &text) override;
  void set_enabled(Control control, bool enabled) override;
  bool is_enabled(Control control) const override;
  void set_visible(Control control, bool visible) override;
  void set_window_enabled(bool enabled) override;
  void set_checked(bool checked) override;
  bool is_checked() const override;
  void clear_items() override;
  void add_item(const std::string &text) override;
  std::uint32_t item_count() const override;
  void set_selected(std::uint32_t index) override;
  std::uint32_t selected() const override;
  void set_hint(const std::string &text) override;
  void set_progress(int value) override;
  void set_focus(Control control) override;
  bool ask_yes_no(const std::string &text, const std::string &title) override;
  void show_message(const std::string &text, const std::string &title) override;

private:
  GtkWidget *widget(Control control) const;
  GtkEntry *entry() const { return GTK_ENTRY(gtk_bin_get_child(GTK_BIN(combo_))); }
  GtkWidget *build_body();
  void connect_click(GtkWidget *button, void (MainEvents::*handler)());
  void fit_check_box();
  void draw_header(cairo_t *cr);
  bool move_focus(bool forward);

  HostToolkit &toolkit_;
  MainEvents &events_;
  GtkWidget *window_;
  GtkWidget *content_ = nullptr;
  GtkWidget *header_ = nullptr, *info_ = nullptr, *sticks_ = nullptr;
  GtkWidget *combo_ = nullptr, *refresh_ = nullptr, *progress_ = nullptr;
  GtkWidget *keep_ = nullptr, *format_ = nullptr, *about_ = nullptr;
  Pixbuf background_, logo_;
  std::string title_text_;
  bool title_enabled_ = true, title_visible_ = true;
  std::map<Control, bool> hidden_;
  Control focus_ = Control::cbxSticks;
  bool window_enabled_ = true;
  bool shown_ = false, closed_ = false;
  int updating_ = 0; ///< changes of our own to the list are not reported
};

GtkMainView::GtkMainView(HostToolkit &toolkit, MainEvents &events)
    : toolkit_(toolkit), events_(events),
      window_(gtk_window_new(GTK_WINDOW_TOPLEVEL)),
      background_(load_image("header.png")), logo_(load_image("logo.png")) {
  toolkit_.add_window(*this);
  install_style();
  gtk_widget_set_name(window_, "frmCorvantix");
  gtk_window_set_default_size(GTK_WINDOW(window_), client_width, client_height);
  GdkGeometry hints{};
  hints.min_width = minimum_width;
  hints.min_height = minimum_height;
  gtk_window_set_geometry_hints(GTK_WINDOW(window_), nullptr, &hints,
                                GDK_HINT_MIN_SIZE);
  set_program_icon(GTK_WINDOW(window_));

  header_ = gtk_drawing_area_new();
  gtk_widget_set_size_request(header_, -1, header_height);
  gtk_widget_set_hexpand(header_, TRUE);
  g_signal_connect(header_, "draw",
                   G_CALLBACK(+[](GtkWidget *, cairo_t *cr, gpointer view) {
                     static_cast<GtkMainView *>(view)->draw_header(cr);
                     return FALSE;
                   }),
                   this);

  content_ = gtk_grid_new();
  gtk_grid_attach(GTK_GRID(content_), header_, 0, 0, 1, 1);
  gtk_grid_attach(GTK_GRID(content_), build_body(), 0, 1, 1, 1);
  gtk_container_add(GTK_CONTAINER(window_), content_);
  gtk_widget_show_all(content_);
  fit_check_box();

  g_signal_connect(window_, "delete-event",
                   G_CALLBACK(+[](GtkWidget *, GdkEvent *, gpointer data) {
                     auto *view = static_cast<GtkMainView *>(data);
                     // A disabled window does not close at the user's request.
                     if (view->window_enabled_)
                       view->close();
                     return TRUE;
                   }),
                   this);
  g_signal_connect(window_, "destroy", G_CALLBACK(+[](GtkWidget *, gpointer data) {
                     static_cast<GtkMainView *>(data)->closed_ = true;
                   }),
                   this);
  g_signal_connect(window_, "key-press-event",
                   G_CALLBACK(+[](GtkWidget *, GdkEventKey *key, gpointer data) {
                     if (key->keyval != GDK_KEY_Tab && key->keyval != GDK_KEY_ISO_Left_Tab)
                       return FALSE;
                     bool back = key->keyval == GDK_KEY_ISO_Left_Tab ||
                                 (key->state & GDK_SHIFT_MASK);
                     return gboolean(static_cast<GtkMainView *>(data)->move_focus(!back));
                   }),
                   this);
}

GtkWidget *GtkMainView::build_body() {
  GtkWidget *grid = gtk_grid_new();
  gtk_widget_set_hexpand(grid, TRUE);
  gtk_widget_set_vexpand(grid, TRUE);

  // The information text wraps at the cell's width and is clipped, not
  // scrolled, when the cell is too low for it.
  info_ = gtk_label_new("");
  gtk_style_context_add_class(gtk_widget_get_style_context(info_), "on-white");
  gtk_label_set_line_wrap(GTK_LABEL(info_), TRUE);
  gtk_label_set_max_width_chars(GTK_LABEL(info_), 1);
  gtk_label_set_xalign(GTK_LABEL(info_), 0);
  gtk_label_set_yalign(GTK_LABEL(info_), 0);
  gtk_widget_set_valign(info_, GTK_ALIGN_START);
  gtk_widget_set_margin_start(info_, info_padding);
  gtk_widget_set_margin_end(info_, info_padding);
  gtk_widget_set_margin_top(info_, info_padding);
  gtk_widget_set_margin_bottom(info_, info_padding);
  GtkWidget *clip = gtk_scrolled_window_new(nullptr, nullptr);
  gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(clip), GTK_POLICY_NEVER,
                                 GTK_POLICY_EXTERNAL);
  gtk_container_add(GTK_CONTAINER(clip), info_);
  gtk_grid_attach(GTK_GRID(grid), cell(clip, -1, -1, true), 0, 0, 3, 1);

  sticks_ = gtk_label_new("");
  gtk_style_context_add_class(gtk_widget_get_style_context(sticks_), "on-white");
  gtk_label_set_xalign(GTK_LABEL(sticks_), 0);
  gtk_label_set_ellipsize(GTK_LABEL(sticks_), PANGO_ELLIPSIZE_END);
  gtk_label_set_max_width_chars(GTK_LABEL(sticks_), 1);
  gtk_grid_attach(GTK_GRID(grid), cell(sticks_, side_width, row_height, true),
                  0, 1, 1, 1);

  combo_ = gtk_combo_box_text_new_with_entry();
  gtk_entry_set_width_chars(entry(), 1);
  gtk_grid_attach(GTK_GRID(grid),
                  cell(combo_, -1, row_height, false, GTK_ALIGN_START), 1, 1,
                  1, 1);
  g_signal_connect(combo_, "changed", G_CALLBACK(+[](GtkComboBox *, gpointer data) {
                     auto *view = static_cast<GtkMainView *>(data);
                     if (view->updating_ == 0 && !view->closed_)
                       view->toolkit_.guard(
                           [view] { view->events_.cbxSticks_SelectedValueChanged(); });
                   }),
                   this);

  refresh_ = gtk_button_new_with_label("");
  gtk_grid_attach(GTK_GRID(grid),
                  cell(refresh_, side_width, row_height, false, GTK_ALIGN_START),
                  2, 1, 1, 1);
  connect_click(refresh_, &MainEvents::btnRefresh_Click);

  progress_ = gtk_progress_bar_new();
  gtk_grid_attach(GTK_GRID(grid), cell(progress_, -1, row_height, true), 0, 2,
                  3, 1);

  keep_ = gtk_check_button_new_with_label("");
  gtk_style_context_add_class(gtk_widget_get_style_context(keep_), "on-white");
  gtk_widget_set_halign(keep_, GTK_ALIGN_START);
  gtk_grid_attach(GTK_GRID(grid),
                  cell(keep_, side_width, row_height, false, GTK_ALIGN_CENTER),
                  0, 3, 1, 1);

  format_ = gtk_button_new_with_label("");
  gtk_grid_attach(GTK_GRID(grid), cell(format_, -1, row_height, true), 1, 3, 1,
                  1);
  connect_click(format_, &MainEvents::btnFormat_Click);

  about_ = gtk_button_new_with_label("");
  gtk_grid_attach(GTK_GRID(grid), cell(about_, side_width, row_height, true), 2,
                  3, 1, 1);
  connect_click(about_, &MainEvents::btnAbout_Click);

  for (GtkWidget *button : {refresh_, format_, about_})
    ellipsize(button);
  return grid;
}

// The check box is as wide as its text, but no wider than its cell: its
// label is cut to the characters that fit beside the box.
void GtkMainView::fit_check_box() {
  GtkLabel *label = GTK_LABEL(gtk_bin_get_child(GTK_BIN(keep_)));
  gtk_label_set_ellipsize(label, PANGO_ELLIPSIZE_END);
  int box_width = 0;
  gtk_widget_get_preferred_width(keep_, nullptr, &box_width);
  PangoFontMetrics *metrics = pango_context_get_metrics(
      gtk_widget_get_pango_context(GTK_WIDGET(label)), nullptr, nullptr);
  int char_width =
      std::max(pango_font_metrics_get_approximate_char_width(metrics),
               pango_font_metrics_get_approximate_digit_width(metrics)) /
      PANGO_SCALE;
  pango_font_metrics_unref(metrics);
  int room = side_width - 2 * margin - box_width;
  gtk_label_set_max_width_chars(label, std::max(1, room / std::max(char_width, 1)));
}

void GtkMainView::connect_click(GtkWidget *button,
                                void (MainEvents::*handler)()) {
  struct Click {
    GtkMainView *view;
    void (MainEvents::*handler)();
  };
  g_signal_connect_data(
      button, "clicked", G_CALLBACK(+[](GtkButton *, gpointer data) {
        auto *click = static_cast<Click *>(data);
        GtkMainView *view = click->view;
        if (!view->closed_)
          view->toolkit_.guard([&] { (view->events_.*click->handler)(); });
      }),
      new Click{this, handler},
      [](gpointer data, GClosure *) { delete static_cast<Click *>(data); },
      GConnectFlags(0));
}

// White, the background image tiled over it, the logo stretched over the
// right end and the title at its design place.
void GtkMainView::draw_header(cairo_t *cr) {
  int width = gtk_widget_get_allocated_width(header_);
  int height = gtk_widget_get_allocated_height(header_);
  cairo_set_source_rgb(cr, 1, 1, 1);
  cairo_paint(cr);
  if (background_) {
    gdk_cairo_set_source_pixbuf(cr, background_.get(), 0, 0);
    cairo_pattern_set_extend(cairo_get_source(cr), CAIRO_EXTEND_REPEAT);
    cairo_paint(cr);
  }
  if (logo_) {
    cairo_save(cr);
    cairo_translate(cr, width - logo_width, 0);
    cairo_scale(cr, double(logo_width) / gdk_pixbuf_get_width(logo_.get()),
                double(height) / gdk_pixbuf_get_height(logo_.get()));
    gdk_cairo_set_source_pixbuf(cr, logo_.get(), 0, 0);
    cairo_paint(cr);
    cairo_restore(cr);
  }
  if (title_visible_ && !title_text_.empty()) {
    PangoLayout *layout = gtk_widget_create_pango_layout(header_, title_text_.c_str());
    PangoFontDescription *font =
        pango_font_description_from_string("Microsoft Sans Serif 15.75");
    pango_layout_set_font_description(layout, font);
    pango_font_description_free(font);
    double shade = title_enabled_ ? 0.0 : 0.55;
    cairo_set_source_rgb(cr, shade, shade, shade);
    cairo_move_to(cr, title_x, title_y);
    pango_cairo_show_layout(cr, layout);
    g_object_unref(layout);
  }
}

GtkWidget *GtkMainView::widget(Control control) const {
  switch (control) {
  case Control::lblTitle: return header_;
  case Control::lblInfo: return info_;
  case Control::lblSticks: return sticks_;
  case Control::cbxSticks: return combo_;
  case Control::btnRefresh: return refresh_;
  case Control::prgFormat: return progress_;
  case Control::chkKeep: return keep_;
  case Control::btnFormat: return format_;
  case Control::btnAbout: return about_;
  }
  return nullptr;
}

void GtkMainView::show() {
  if (closed_)
    return;
  gtk_widget_show(window_);
  shown_ = true;
  set_focus(focus_);
}

void GtkMainView::close() {
  if (closed_)
    return;
  closed_ = true;
  gtk_widget_destroy(window_);
}

void GtkMainView::set_text(Control control, const std::string &text) {
  if (closed_)
    return;
  GtkWidget *target = widget(control);
  if (control == Control::lblTitle) {
    title_text_ = text;
    gtk_widget_queue_draw(header_);
  } else if (GTK_IS_LABEL(target)) {
    gtk_label_set_text(GTK_LABEL(target), text.c_str());
  } else if (GTK_IS_BUTTON(target)) {
    gtk_label_set_text(GTK_LABEL(gtk_bin_get_child(GTK_BIN(target))), text.c_str());
  }
}

void GtkMainView::set_tooltip(Control control, const std::string &text) {
  if (!closed_)
    gtk_widget_set_tooltip_text(widget(control), text.c_str());
}

void GtkMainView::set_enabled(Control control, bool enabled) {
  if (closed_)
    return;
  if (control == Control::lblTitle) {
    title_enabled_ = enabled;
    gtk_widget_queue_draw(header_);
    return;
  }
  gtk_widget_set_sensitive(widget(control), enabled);
}

bool GtkMainView::is_enabled(Control control) const {
  if (closed_)
    return false;
  if (control == Control::lblTitle)
    return title_enabled_;
  return gtk_widget_get_sensitive(widget(control));
}

void GtkMainView::set_visible(Control control, bool visible) {
  if (closed_)
    return;
  if (control == Control::lblTitle) {
    title_visible_ = visible;
    gtk_widget_queue_draw(header_);
    return;
  }
  // The cell box stays, so the row keeps its height.
  gtk_widget_set_visible(widget(control), visible);
}

void GtkMainView::set_window_enabled(bool enabled) {
  if (closed_)
    return;
  window_enabled_ = enabled;
  // The cells of the controls that take input, not the window: an
  // insensitive window would grey the progress bar that shows the run,
  // and the controls keep their own state for is_enabled.
  for (GtkWidget *control : {combo_, refresh_, keep_, format_, about_})
    gtk_widget_set_sensitive(gtk_widget_get_parent(control), enabled);
  if (enabled)
    set_focus(focus_);
}

void GtkMainView::set_checked(bool checked) {
  if (!closed_)
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(keep_), checked);
}

bool GtkMainView::is_checked() const {
  return !closed_ && gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(keep_));
}

void GtkMainView::clear_items() {
  if (closed_)
    return;
  ++updating_;
  gtk_combo_box_text_remove_all(GTK_COMBO_BOX_TEXT(combo_));
  gtk_entry_set_text(entry(), "");
  --updating_;
}

void GtkMainView::add_item(const std::string &text) {
  if (!closed_)
    gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(combo_), text.c_str());
}

std::uint32_t GtkMainView::item_count() const {
  if (closed_)
    return 0;
  GtkTreeModel *model = gtk_combo_box_get_model(GTK_COMBO_BOX(combo_));
  return std::uint32_t(gtk_tree_model_iter_n_children(model, nullptr));
}

void GtkMainView::set_selected(std::uint32_t index) {
  if (closed_)
    return;
  ++updating_;
  bool none = index == no_selection || index >= item_count();
  gtk_combo_box_set_active(GTK_COMBO_BOX(combo_), none ? -1 : gint(index));
  if (none)
    gtk_entry_set_text(entry(), ""); // shows the hint
  --updating_;
}

std::uint32_t GtkMainView::selected() const {
  if (closed_)
    return no_selection;
  gint active = gtk_combo_box_get_active(GTK_COMBO_BOX(combo_));
  return active < 0 ? no_selection : std::uint32_t(active);
}

void GtkMainView::set_hint(const std::string &text) {
  if (!closed_)
    gtk_entry_set_placeholder_text(entry(), text.c_str());
}

void GtkMainView::set_progress(int value) {
  if (closed_)
    return;
  value = std::clamp(value, 0, progress_maximum);
  gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(progress_),
                                double(value) / progress_maximum);
}

void GtkMainView::set_focus(Control control) {
  if (closed_)
    return;
  focus_ = control;
  if (shown_)
    gtk_widget_grab_focus(widget(control));
}

// The keyboard order: device list, Format, Refresh, About, Backup.
bool GtkMainView::move_focus(bool forward) {
  const std::array<GtkWidget *, 5> order{combo_, format_, refresh_, about_, keep_};
  GtkWidget *focus = gtk_window_get_focus(GTK_WINDOW(window_));
  int n = int(order.size());
  int at = -1;
  for (int i = 0; i < n; ++i)
    if (focus && (focus == order[i] || gtk_widget_is_ancestor(focus, order[i])))
      at = i;
  for (int step = 1; step <= n; ++step) {
    int i = at < 0 ? (forward ? step - 1 : n - step)
                   : ((at + (forward ? step : -step)) % n + n) % n;
    if (gtk_widget_is_sensitive(order[i]) && gtk_widget_is_visible(order[i])) {
      gtk_widget_grab_focus(order[i]);
      return true;
    }
  }
  return true;
}

bool GtkMainView::ask_yes_no(const std::string &text, const std::string &title) {
  if (closed_)
    return false;
  return message_dialog(toolkit_, GTK_WINDOW(window_), text, title,
                        Toolkit::Buttons::YesNo) == Toolkit::Answer::Yes;
}

void GtkMainView::show_message(const std::string &text,
                               const std::string &title) {
  if (!closed_)
    message_dialog(toolkit_, GTK_WINDOW(window_), text, title,
                   Toolkit::Buttons::Ok);
}

} // namespace

void install_style() {
  static bool installed = false;
  if (installed)
    return;
  installed = true;
  GtkCssProvider *css = gtk_css_provider_new();
  gtk_css_provider_load_from_data(css, style_sheet, -1, nullptr);
  gtk_style_context_add_provider_for_screen(
      gdk_screen_get_default(), GTK_STYLE_PROVIDER(css),
      GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  g_object_unref(css);
}

GdkPixbuf *load_image(const char *name) {
  std::unique_ptr<std::istream> in = platform::open_resource(name);
  if (!in)
    return nullptr;
  std::string bytes{std::istreambuf_iterator<char>(*in), {}};
  GdkPixbufLoader *loader = gdk_pixbuf_loader_new();
  GdkPixbuf *image = nullptr;
  if (gdk_pixbuf_loader_write(loader, reinterpret_cast<const guchar *>(bytes.data()),
                              bytes.size(), nullptr) &&
      gdk_pixbuf_loader_close(loader, nullptr)) {
    image = gdk_pixbuf_loader_get_pixbuf(loader);
    if (image)
      g_object_ref(image);
  } else {
    gdk_pixbuf_loader_close(loader, nullptr);
  }
  g_object_unref(loader);
  return image;
}

void set_program_icon(GtkWindow *window) {
  if (GdkPixbuf *icon = load_image("corvantix.ico")) {
    gtk_window_set_icon(window, icon);
    g_object_unref(icon);
  }
}

std::unique_ptr<MainView> make_main_view(HostToolkit &toolkit,
                                         MainEvents &events) {
  return std::make_unique<GtkMainView>(toolkit, events);
}

} // namespace corvantix::gtk
