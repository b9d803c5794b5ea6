// The low layer's window on the platform: the Win32 names, types, constants
// and error codes. The product gets them from the Windows headers; the host
// build gets the same declarations, implemented by the emulated machine.
#pragma once

#if defined(_WIN32)
#include <windows.h>
#include <winioctl.h>
#include <setupapi.h>
#include <cfgmgr32.h>
#else
#include "platform/host/win32/win32_types.h"
#include "platform/host/win32/kernel32.h"
#include "platform/host/win32/setupapi.h"
#endif
