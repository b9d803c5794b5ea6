// Entry point of the Windows product.
#include "app/startup.h"
#include "platform/win32/text.h"
#include "platform/win32/toolkit_win32.h"

#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

int main() {
  // The main thread is the windows' single-threaded apartment.
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  int count = 0;
  wchar_t **wide = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> args;
  for (int i = 1; wide && i < count; ++i)
    args.push_back(corvantix::win32::narrow(wide[i]));
  LocalFree(wide);
  corvantix::Win32Toolkit toolkit;
  // Windows can always be shown: help stays the documentation window.
  corvantix::ProcessTerminal terminal(true);
  int code = corvantix::app_main(args, toolkit, terminal);
  CoUninitialize();
  return code;
}
