#include "app/startup.h"

#include "app/terminal_modes.h"
#include "platform/system.h"
#include "strings/error.h"
#include "strings/res.h"

namespace corvantix {
namespace {

// Nothing can be looked up when the table did not load: the message names
// the fixed text and every cause, so the user sees what was wrong.
int report_load_failure(Toolkit &toolkit) {
  toolkit.message_box(describe_chain(std::current_exception()), "",
                      Toolkit::Buttons::Ok);
  return 1;
}

std::string argument_error_text(const ArgumentError &error) {
  try {
    return Res::format_values(error.key, error.values);
  } catch (const Error &e) {
    // An override broke the text: show what went wrong instead.
    return e.what();
  }
}

} // namespace

int app_main(const std::vector<std::string> &args, Toolkit &toolkit) {
  ProcessTerminal terminal(true);
  return app_main(args, toolkit, terminal);
}

int app_main(const std::vector<std::string> &args, Toolkit &toolkit,
             Terminal &terminal) {
  // Without windows, and in an unattended run, what goes wrong before a
  // mode runs is a line on the error stream, never a box.
  const bool lines_only = !terminal.windows() || yes_given(args);
  try {
    Res::init();
  } catch (const Error &) {
    if (lines_only) {
      terminal.say(describe_chain(std::current_exception()));
      return 1;
    }
    return report_load_failure(toolkit);
  }
  toolkit.enable_visual_styles();

  Process process;
  // Without windows the person is asked on the terminal, about a drive
  // letter or a path.
  ArgumentReading reading = read_arguments(args, platform::program_folder(),
                                           process, !terminal.windows());
  for (const TextOverride &override : reading.overrides)
    Res::set(override.key, override.value);
  const StartupValues &values = reading.values;
  if (reading.error) {
    std::string text = argument_error_text(*reading.error);
    if (lines_only)
      terminal.write_error(terminal_message(text) + "\n" + kTryHelp + "\n");
    else
      toolkit.message_box(text, "", Toolkit::Buttons::Ok);
    return 1;
  }
  if (values.help && !terminal.windows())
    return print_help(values, terminal);
  if (!values.help &&
      (values.yes || (!terminal.windows() && !values.targets.empty())))
    return run_on_terminal(values, process, terminal, args);
  // What is left needs a window: without one, a line says how to do
  // without it.
  if (!terminal.windows()) {
    terminal.write_error(
        terminal_message(argument_error_text(terminal.without_windows())) + "\n");
    return 1;
  }
  return run_mode(values, process, toolkit);
}

} // namespace corvantix
