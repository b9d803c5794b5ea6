// SetupAPI and the configuration manager of the emulated machine, by their
// Win32 names: device information sets over the disks' device nodes. The
// records have Windows' layout for the build's word size (natural alignment,
// as SetupAPI packs its records on 64-bit Windows), and every call that takes
// a record checks its size field against sizeof, as Windows does.
#pragma once

#include "platform/host/win32/win32_types.h"

typedef PVOID HDEVINFO;
typedef DWORD DEVINST;
typedef DWORD CONFIGRET;
typedef HANDLE HMACHINE;
typedef UINT DI_FUNCTION;

#define SP_MAX_MACHINENAME_LENGTH (MAX_PATH + 3)

#pragma pack(push, 8)

typedef struct _SP_DEVINFO_DATA {
  DWORD cbSize;
  GUID ClassGuid;
  DWORD DevInst;
  ULONG_PTR Reserved;
} SP_DEVINFO_DATA, *PSP_DEVINFO_DATA;

typedef struct _SP_CLASSINSTALL_HEADER {
  DWORD cbSize;
  DI_FUNCTION InstallFunction;
} SP_CLASSINSTALL_HEADER, *PSP_CLASSINSTALL_HEADER;

typedef struct _SP_PROPCHANGE_PARAMS {
  SP_CLASSINSTALL_HEADER ClassInstallHeader;
  DWORD StateChange;
  DWORD Scope;
  DWORD HwProfile;
} SP_PROPCHANGE_PARAMS, *PSP_PROPCHANGE_PARAMS;

typedef struct _SP_DEVINSTALL_PARAMS_A {
  DWORD cbSize;
  DWORD Flags;
  DWORD FlagsEx;
  HWND hwndParent;
  PVOID InstallMsgHandler;
  PVOID InstallMsgHandlerContext;
  PVOID FileQueue;
  ULONG_PTR ClassInstallReserved;
  DWORD Reserved;
  CHAR DriverPath[MAX_PATH];
} SP_DEVINSTALL_PARAMS_A, *PSP_DEVINSTALL_PARAMS_A;

typedef struct _SP_DEVINFO_LIST_DETAIL_DATA_A {
  DWORD cbSize;
  GUID ClassGuid;
  HANDLE RemoteMachineHandle;
  CHAR RemoteMachineName[SP_MAX_MACHINENAME_LENGTH];
} SP_DEVINFO_LIST_DETAIL_DATA_A, *PSP_DEVINFO_LIST_DETAIL_DATA_A;

#pragma pack(pop)

// Install functions and state changes.
#define DIF_PROPERTYCHANGE 0x00000012
#define DICS_ENABLE 0x00000001
#define DICS_DISABLE 0x00000002
#define DICS_PROPCHANGE 0x00000003
#define DICS_START 0x00000004
#define DICS_STOP 0x00000005
#define DICS_FLAG_GLOBAL 0x00000001
#define DICS_FLAG_CONFIGSPECIFIC 0x00000002
#define DICS_FLAG_CONFIGGENERAL 0x00000004

// Device install flags.
#define DI_NEEDRESTART 0x00000080L
#define DI_NEEDREBOOT 0x00000100L

// SetupAPI's own error codes.
#define APPLICATION_ERROR_MASK 0x20000000
#define ERROR_SEVERITY_ERROR 0xC0000000
#define ERROR_NO_ASSOCIATED_CLASS (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x200)
#define ERROR_NO_SUCH_DEVINST (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x20B)
#define ERROR_NO_CLASSINSTALL_PARAMS (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x215)
#define ERROR_DI_DO_DEFAULT (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x20E)
#define ERROR_NOT_DISABLEABLE (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x231)

// Configuration manager results.
#define CR_SUCCESS 0x00000000
#define CR_INVALID_POINTER 0x00000003
#define CR_INVALID_FLAG 0x00000004
#define CR_INVALID_DEVNODE 0x00000005
#define CR_INVALID_DEVINST CR_INVALID_DEVNODE
#define CR_NO_SUCH_DEVNODE 0x0000000D
#define CR_NO_SUCH_DEVINST CR_NO_SUCH_DEVNODE
#define CR_FAILURE 0x00000013
#define CR_NO_SUCH_VALUE 0x00000025
#define CR_ACCESS_DENIED 0x00000033

// Device node status bits.
#define DN_DRIVER_LOADED 0x00000002
#define DN_STARTED 0x00000008
#define DN_HAS_PROBLEM 0x00000400
#define DN_DISABLEABLE 0x00002000
#define DN_REMOVABLE 0x00004000
#define DN_PRIVATE_PROBLEM 0x00008000

// Problem numbers.
#define CM_PROB_FAILED_START 0x0000000A
#define CM_PROB_DISABLED 0x00000016
#define CM_PROB_PHANTOM 0x0000002D

HDEVINFO SetupDiCreateDeviceInfoListExA(const GUID *ClassGuid, HWND hwndParent,
                                        PCSTR MachineName, PVOID Reserved);
BOOL SetupDiOpenDeviceInfoA(HDEVINFO DeviceInfoSet, PCSTR DeviceInstanceId,
                            HWND hwndParent, DWORD OpenFlags,
                            PSP_DEVINFO_DATA DeviceInfoData);
BOOL SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex,
                           PSP_DEVINFO_DATA DeviceInfoData);
BOOL SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet);
BOOL SetupDiGetDeviceInfoListDetailA(
    HDEVINFO DeviceInfoSet,
    PSP_DEVINFO_LIST_DETAIL_DATA_A DeviceInfoSetDetailData);
BOOL SetupDiSetClassInstallParamsA(HDEVINFO DeviceInfoSet,
                                   PSP_DEVINFO_DATA DeviceInfoData,
                                   PSP_CLASSINSTALL_HEADER ClassInstallParams,
                                   DWORD ClassInstallParamsSize);
BOOL SetupDiCallClassInstaller(DI_FUNCTION InstallFunction,
                               HDEVINFO DeviceInfoSet,
                               PSP_DEVINFO_DATA DeviceInfoData);
BOOL SetupDiChangeState(HDEVINFO DeviceInfoSet,
                        PSP_DEVINFO_DATA DeviceInfoData);
BOOL SetupDiGetDeviceInstallParamsA(HDEVINFO DeviceInfoSet,
                                    PSP_DEVINFO_DATA DeviceInfoData,
                                    PSP_DEVINSTALL_PARAMS_A DeviceInstallParams);
CONFIGRET CM_Get_DevNode_Status_Ex(PULONG pulStatus, PULONG pulProblemNumber,
                                   DEVINST dnDevInst, ULONG ulFlags,
                                   HMACHINE hMachine);
