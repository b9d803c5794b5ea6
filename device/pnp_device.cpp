#include "device/pnp_device.h"

#include <cstring>

namespace corvantix {

IsWow64ProcessFunction fnIsWow64Process = nullptr;

namespace {

constexpr DWORD kRestartFlags = DI_NEEDRESTART | DI_NEEDREBOOT;
constexpr int kDisableRetries = 10;

SP_PROPCHANGE_PARAMS property_change(DWORD change, DWORD scope) {
  SP_PROPCHANGE_PARAMS params;
  std::memset(&params, 0, sizeof params);
  params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
  params.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
  params.StateChange = change;
  params.Scope = scope;
  params.HwProfile = 0; // the current hardware profile
  return params;
}

bool set_params(HDEVINFO devs, PSP_DEVINFO_DATA dev,
                SP_PROPCHANGE_PARAMS &params) {
  return SetupDiSetClassInstallParamsA(devs, dev, &params.ClassInstallHeader,
                                       sizeof params);
}

} // namespace

CPNPDevice::CPNPDevice(const char *PNPDeviceID) {
  std::strncpy(InstanceID, PNPDeviceID, sizeof InstanceID - 1);
  InstanceID[sizeof InstanceID - 1] = '\0';
}

int CPNPDevice::Refresh() {
  if (Disable() != Disabled) {
    Enable(); // never leave the device off because the disable failed
    return PrivateProblem;
  }
  if (Enable() != Started)
    return PrivateProblem;
  Sleep(2000); // give Windows time to mount the volume again
  return Started;
}

int CPNPDevice::Disable() {
  GenericContext context = {0, DICS_DISABLE, 0};
  int result = EnumerateDevice(DICS_DISABLE, &context);
  for (int tries = 0;
       (result == NeedsReboot || result == Started) && tries < kDisableRetries;
       ++tries) {
    if (result == NeedsReboot)
      Enable(); // undo the half-done change before trying again
    Sleep(1000);
    context = {0, DICS_DISABLE, 0};
    result = EnumerateDevice(DICS_DISABLE, &context);
  }
  return result;
}

int CPNPDevice::Enable() {
  GenericContext context = {0, DICS_ENABLE, 0};
  EnumerateDevice(DICS_ENABLE, &context);
  return GetStatus();
}

int CPNPDevice::GetStatus() {
  GenericContext context = {0, DICS_PROPCHANGE, 0};
  return EnumerateDevice(0, &context);
}

const char *CPNPDevice::GetDeviceState(int DeviceState) {
  static const char *const texts[] = {
      "Device started",         "Device not started",
      "Device private problem", "Device problem",
      "Device disabled",        "Device status error",
      "Device is phantom device", "Device needs reboot",
  };
  if (DeviceState < 0 || DeviceState >= int(sizeof texts / sizeof *texts))
    return "unknown device state";
  return texts[DeviceState];
}

int CPNPDevice::EnumerateDevice(int CallFunction, GenericContext *Context) {
  HDEVINFO devs =
      SetupDiCreateDeviceInfoListExA(nullptr, nullptr, nullptr, nullptr);
  if (devs == INVALID_HANDLE_VALUE)
    return PrivateProblem;

  int result = PrivateProblem;
  SP_DEVINFO_DATA dev;
  std::memset(&dev, 0, sizeof dev);
  dev.cbSize = sizeof dev;
  if (SetupDiOpenDeviceInfoA(devs, InstanceID, nullptr, 0, nullptr)) {
    for (DWORD index = 0; SetupDiEnumDeviceInfo(devs, index, &dev); ++index) {
      if (CallFunction == 0) {
        result = GetDeviceStatus(devs, &dev);
      } else {
        result = ControlCallback(devs, &dev, index, Context);
        if (result != Started)
          break;
        if (Context->reboot == 1) {
          result = NeedsReboot;
          break;
        }
        result = GetDeviceStatus(devs, &dev);
      }
      if (result != Started && result != Disabled)
        break;
    }
  }
  SetupDiDestroyDeviceInfoList(devs);
  return result;
}

int CPNPDevice::ControlCallback(HDEVINFO Devs, PSP_DEVINFO_DATA DevInfo,
                                DWORD /*Index*/, GenericContext *Context) {
  if (Context->change == DICS_ENABLE) {
    // Enable in every profile first; a device disabled globally would not
    // start by the profile's enable alone. The outcome does not matter.
    SP_PROPCHANGE_PARAMS global = property_change(DICS_ENABLE, DICS_FLAG_GLOBAL);
    if (set_params(Devs, DevInfo, global))
      SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, Devs, DevInfo);
  }

  SP_PROPCHANGE_PARAMS params =
      property_change(Context->change, DICS_FLAG_CONFIGSPECIFIC);
  if (!set_params(Devs, DevInfo, params))
    return PrivateProblem;
  // A 32-bit process on 64-bit Windows cannot run the class installer.
  BOOL applied = IsWow64()
                     ? SetupDiChangeState(Devs, DevInfo)
                     : SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, Devs,
                                                 DevInfo);
  if (!applied)
    return PrivateProblem;

  SP_DEVINSTALL_PARAMS_A install;
  std::memset(&install, 0, sizeof install);
  install.cbSize = sizeof install;
  if (SetupDiGetDeviceInstallParamsA(Devs, DevInfo, &install) &&
      (install.Flags & kRestartFlags))
    Context->reboot = 1;
  ++Context->handled;
  return Started;
}

int CPNPDevice::GetDeviceStatus(HDEVINFO Devs, PSP_DEVINFO_DATA DevInfo) {
  SP_DEVINFO_LIST_DETAIL_DATA_A detail;
  std::memset(&detail, 0, sizeof detail);
  detail.cbSize = sizeof detail;
  if (!SetupDiGetDeviceInfoListDetailA(Devs, &detail))
    return StatusError;

  ULONG status = 0, problem = 0;
  CONFIGRET cr = CM_Get_DevNode_Status_Ex(&status, &problem, DevInfo->DevInst,
                                          0, detail.RemoteMachineHandle);
  if (cr != CR_SUCCESS)
    return cr == CR_NO_SUCH_DEVINST || cr == CR_NO_SUCH_VALUE ? Phantom
                                                              : StatusError;
  // Order matters: a disabled node may also carry the private-problem bit.
  if (status & DN_HAS_PROBLEM)
    return problem == CM_PROB_DISABLED ? Disabled : Problem;
  if (status & DN_PRIVATE_PROBLEM)
    return PrivateProblem;
  return status & DN_STARTED ? Started : NotStarted;
}

int IsWow64() {
  BOOL flag = FALSE;
  fnIsWow64Process = reinterpret_cast<IsWow64ProcessFunction>(
      reinterpret_cast<void *>(
          GetProcAddress(GetModuleHandleA("kernel32"), "IsWow64Process")));
  if (fnIsWow64Process)
    fnIsWow64Process(GetCurrentProcess(), &flag);
  return flag;
}

char *sTranslateLastError(DWORD LastError) {
  char *buffer = nullptr;
  FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                     FORMAT_MESSAGE_FROM_SYSTEM,
                 nullptr, LastError, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                 reinterpret_cast<LPSTR>(&buffer), 0, nullptr);
  if (buffer)
    buffer[std::strcspn(buffer, "\r\n")] = '\0';
  return buffer;
}

} // namespace corvantix
