#include "app/startup.h"

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
  try {
    Res::init();
  } catch (const Error &) {
    return report_load_failure(toolkit);
  }
  toolkit.enable_visual_styles();

  Process process;
  ArgumentReading reading =
      read_arguments(args, platform::program_folder(), process);
  for (const TextOverride &override : reading.overrides)
    Res::set(override.key, override.value);
  if (reading.error) {
    toolkit.message_box(argument_error_text(*reading.error), "",
                        Toolkit::Buttons::Ok);
    return 1;
  }
  return run_mode(reading.values, process, toolkit);
}

} // namespace corvantix
