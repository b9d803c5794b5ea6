// The GTK windows of the host toolkit and the pieces they share.
#pragma once

#include "platform/host/gtk/toolkit_host.h"
#include "ui/view.h"

#include <memory>
#include <string>

#include <gtk/gtk.h>

namespace corvantix::gtk {

/// The style of the program's windows: white main window, controls compact
/// enough for the layout's 29 px rows. Installed once.
void install_style();

/// A modal message box without an icon, owned by `owner` when given; OK or
/// Yes/No with Yes the default. A lost display or an ending signal ends it
/// as if dismissed (No for Yes/No).
Toolkit::Answer message_dialog(HostToolkit &toolkit, GtkWindow *owner,
                               const std::string &text,
                               const std::string &title,
                               Toolkit::Buttons buttons);

/// The embedded image `name` (a file format that GdkPixbuf reads), or null.
/// The caller owns the reference.
GdkPixbuf *load_image(const char *name);

/// Gives `window` the program icon.
void set_program_icon(GtkWindow *window);

std::unique_ptr<MainView> make_main_view(HostToolkit &toolkit,
                                         MainEvents &events);
std::unique_ptr<AboutView> make_about_view(HostToolkit &toolkit,
                                           AboutEvents &events);

} // namespace corvantix::gtk
