// Plug-and-Play control of one device node: disable it and start it again
// through SetupAPI and the configuration manager, so that Windows drops the
// device and reads it afresh. Low layer: results are DeviceStatus codes,
// nothing throws, every device information set is released on every path.
#pragma once

#include "platform/win32api.h"

namespace corvantix {

/// What a status query or a state change found.
enum DeviceStatus : int {
  Started = 0,
  NotStarted = 1,
  PrivateProblem = 2, ///< also: a SetupAPI step failed
  Problem = 3,
  Disabled = 4,
  StatusError = 5,
  Phantom = 6,
  NeedsReboot = 7,
};

/// Carried from a control pass to the per-device callback and back.
struct GenericContext {
  UINT32 handled; ///< devices whose state change was applied
  UINT32 change;  ///< DICS_ENABLE, DICS_DISABLE or DICS_PROPCHANGE
  INT32 reboot;   ///< 1 when the change needs a restart to complete
};

// SetupAPI checks each record's size field against its own size of the
// record, so a wrong layout fails every call at run time. The sizes that
// hold for every word size are checked here for every build; those of the
// 32-bit product, where the records are byte-packed, for 32-bit builds.
static_assert(sizeof(SP_CLASSINSTALL_HEADER) == 8);
static_assert(sizeof(SP_PROPCHANGE_PARAMS) == 20);
static_assert(sizeof(GenericContext) == 12);
constexpr bool kBuild32 = sizeof(void *) == 4;
static_assert(!kBuild32 || sizeof(SP_DEVINFO_DATA) == 28);
static_assert(!kBuild32 || sizeof(SP_DEVINSTALL_PARAMS_A) == 296);
static_assert(!kBuild32 || sizeof(SP_DEVINFO_LIST_DETAIL_DATA_A) == 287);

class CPNPDevice {
public:
  /// `PNPDeviceID` is at most 259 characters; longer ones are cut.
  explicit CPNPDevice(const char *PNPDeviceID);

  /// 0 when the device was disabled and started again, 2 otherwise.
  int Refresh();
  /// Disabled (4) on success; retries a device that stays started or needs
  /// a restart, ten times at one-second intervals.
  int Disable();
  /// The state read afresh after the enable attempt; Started (0) on success.
  int Enable();
  /// The device's current state, or 2 when it cannot be looked up.
  int GetStatus();
  static const char *GetDeviceState(int DeviceState);

  /// Opens the device into a new set and queries (`CallFunction` 0) or
  /// applies `Context->change` to each element of it.
  int EnumerateDevice(int CallFunction, GenericContext *Context);
  /// Applies `Context->change` to one element: 0 applied, 2 failed.
  int ControlCallback(HDEVINFO Devs, PSP_DEVINFO_DATA DevInfo, DWORD Index,
                      GenericContext *Context);
  int GetDeviceStatus(HDEVINFO Devs, PSP_DEVINFO_DATA DevInfo);

  char InstanceID[260];
};

/// Non-zero when this is a 32-bit process on 64-bit Windows.
int IsWow64();

/// The system's first line of text for a Win32 error code, allocated by the
/// system (release it with LocalFree), or null when there is none.
char *sTranslateLastError(DWORD LastError);

using IsWow64ProcessFunction = BOOL(WINAPI *)(HANDLE, PBOOL);

/// IsWow64Process as last looked up; null where the platform lacks it.
extern IsWow64ProcessFunction fnIsWow64Process;

} // namespace corvantix
