/* setupapi.dll for the whole run under Wine: Wine's own SetupAPI, with the
 * few calls that it lacks for a USB disk standing in.
 *
 * Every export is forwarded to Wine's setupapi.dll, copied into the
 * program's folder as winesetupapi.dll (setupapi_forwards.def), except:
 *
 * - SetupDiSetClassInstallParamsA, SetupDiCallClassInstaller
 *   (DIF_PROPERTYCHANGE) and SetupDiChangeState: Wine stores no class
 *   install parameters and carries out no state change. Here a disable or
 *   enable is a request to the test, which plays the device: it unmounts
 *   the stick's volume and re-reads the partition table, or mounts the
 *   new first partition, and answers.
 * - CM_Get_DevNode_Status_Ex: Wine's reports no status bits; here the
 *   device's state is the one the test last wrote.
 * - DeviceIoControl in the program's own imports, for
 *   IOCTL_DISK_GET_DRIVE_GEOMETRY_EX and IOCTL_DISK_GET_DRIVE_LAYOUT_EX
 *   alone, and only when Wine refuses them, as it does for every Unix
 *   block device: the size comes from the test, the layout from the
 *   disk's sector 0.
 *
 * The test's folder is named by CORVANTIX_WINE_DEVICE (a Windows path):
 *   size.txt     the disk's size in bytes
 *   state.txt    started | disabled | problem
 *   request.txt  written here: disable | enable
 *   answer.txt   written by the test: ok | failed
 * Without the variable every call is Wine's. */
/* Defined here, not imported. */
#define _SETUPAPI_
#define CMAPI
#include <windows.h>
#include <winioctl.h>
#include <setupapi.h>
#include <cfgmgr32.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

typedef BOOL(WINAPI *ControlFunction)(HANDLE, DWORD, LPVOID, DWORD, LPVOID,
                                      DWORD, LPDWORD, LPOVERLAPPED);
typedef BOOL(WINAPI *InstallerFunction)(DI_FUNCTION, HDEVINFO, PSP_DEVINFO_DATA);

static ControlFunction wine_control;

/* Wine's own export NAME. */
static FARPROC wine_function(const char *name) {
  HMODULE wine = GetModuleHandleA("winesetupapi.dll");
  FARPROC function = wine ? GetProcAddress(wine, name) : NULL;
  if (!function)
    SetLastError(ERROR_PROC_NOT_FOUND);
  return function;
}
static SP_PROPCHANGE_PARAMS change; /* the parameters set last */

/* The test's file NAME, in BUFFER; FALSE without the test. */
static BOOL test_file(const char *name, char *path, DWORD size) {
  DWORD length = GetEnvironmentVariableA("CORVANTIX_WINE_DEVICE", path, size);
  if (length == 0 || length + strlen(name) + 2 > size)
    return FALSE;
  strcat(path, "\\");
  strcat(path, name);
  return TRUE;
}

/* The first word of the test's file NAME, or "" when there is none. */
static void read_word(const char *name, char *word, DWORD size) {
  char path[MAX_PATH];
  FILE *file;
  word[0] = 0;
  if (!test_file(name, path, sizeof path) || !(file = fopen(path, "r")))
    return;
  if (fscanf(file, "%63s", word) != 1 || strlen(word) >= size)
    word[0] = 0;
  fclose(file);
}

/* Asks the test to disable or enable the device and waits for its answer
 * (a minute at most: it unmounts or mounts a file system). */
static BOOL ask_device(const char *what) {
  char request[MAX_PATH], partial[MAX_PATH], answer[MAX_PATH], word[64];
  FILE *file;
  int waited;
  if (!test_file("request.txt", request, sizeof request) ||
      !test_file("request.part", partial, sizeof partial) ||
      !test_file("answer.txt", answer, sizeof answer))
    return FALSE;
  DeleteFileA(answer);
  if (!(file = fopen(partial, "w")))
    return FALSE;
  fputs(what, file);
  fclose(file);
  if (!MoveFileExA(partial, request, MOVEFILE_REPLACE_EXISTING))
    return FALSE;
  for (waited = 0; waited < 600; ++waited) {
    if (GetFileAttributesA(answer) != INVALID_FILE_ATTRIBUTES) {
      read_word("answer.txt", word, sizeof word);
      DeleteFileA(answer);
      return strcmp(word, "ok") == 0;
    }
    Sleep(100);
  }
  return FALSE;
}

static BOOL apply_change(void) {
  BOOL done;
  if (change.ClassInstallHeader.InstallFunction != DIF_PROPERTYCHANGE) {
    SetLastError(ERROR_DI_DO_DEFAULT);
    return FALSE;
  }
  if (change.StateChange == DICS_DISABLE)
    done = ask_device("disable");
  else if (change.StateChange == DICS_ENABLE)
    done = ask_device("enable");
  else
    done = TRUE; /* a restart of what runs: nothing to do for a stick */
  if (!done)
    SetLastError(ERROR_NOT_DISABLEABLE);
  return done;
}

BOOL WINAPI SetupDiSetClassInstallParamsA(HDEVINFO set, PSP_DEVINFO_DATA device,
                                          PSP_CLASSINSTALL_HEADER params, DWORD size) {
  (void)set;
  (void)device;
  if (!params || size != sizeof change ||
      params->InstallFunction != DIF_PROPERTYCHANGE) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  memcpy(&change, params, sizeof change);
  return TRUE;
}

BOOL WINAPI SetupDiCallClassInstaller(DI_FUNCTION function, HDEVINFO set,
                                      PSP_DEVINFO_DATA device) {
  char path[MAX_PATH];
  if (function == DIF_PROPERTYCHANGE && test_file("", path, sizeof path))
    return apply_change();
  InstallerFunction wine =
      (InstallerFunction)(void (*)(void))wine_function("SetupDiCallClassInstaller");
  return wine ? wine(function, set, device) : FALSE;
}

BOOL WINAPI SetupDiChangeState(HDEVINFO set, PSP_DEVINFO_DATA device) {
  (void)set;
  (void)device;
  return apply_change();
}

CONFIGRET WINAPI CM_Get_DevNode_Status_Ex(PULONG status, PULONG problem,
                                          DEVINST node, ULONG flags, HMACHINE machine) {
  typedef CONFIGRET(WINAPI * StatusFunction)(PULONG, PULONG, DEVINST, ULONG, HMACHINE);
  char state[64], path[MAX_PATH];
  if (!test_file("", path, sizeof path)) {
    StatusFunction wine =
        (StatusFunction)(void (*)(void))wine_function("CM_Get_DevNode_Status_Ex");
    return wine ? wine(status, problem, node, flags, machine) : CR_FAILURE;
  }
  read_word("state.txt", state, sizeof state);
  *status = 0;
  *problem = 0;
  if (strcmp(state, "started") == 0) {
    *status = DN_DRIVER_LOADED | DN_STARTED;
  } else if (strcmp(state, "disabled") == 0) {
    *status = DN_HAS_PROBLEM;
    *problem = CM_PROB_DISABLED;
  } else if (strcmp(state, "problem") == 0) {
    *status = DN_HAS_PROBLEM;
    *problem = CM_PROB_FAILED_START;
  } else {
    return CR_NO_SUCH_DEVINST;
  }
  return CR_SUCCESS;
}

/* The disk's size as the test gave it; 0 when it did not. */
static LONGLONG disk_size(void) {
  char word[64];
  read_word("size.txt", word, sizeof word);
  return _strtoi64(word, NULL, 10);
}

static BOOL geometry(DISK_GEOMETRY_EX *out, DWORD size, DWORD *returned) {
  LONGLONG bytes = disk_size();
  if (!out || size < sizeof *out || bytes <= 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  memset(out, 0, sizeof *out);
  out->Geometry.BytesPerSector = 512;
  out->Geometry.SectorsPerTrack = 63;
  out->Geometry.TracksPerCylinder = 255;
  out->Geometry.Cylinders.QuadPart = bytes / (512 * 63 * 255);
  out->Geometry.MediaType = RemovableMedia;
  out->DiskSize.QuadPart = bytes;
  *returned = sizeof *out;
  return TRUE;
}

/* Sector 0 through the program's own handle; its file pointer is kept. */
static BOOL read_sector0(HANDLE disk, unsigned char *sector) {
  LARGE_INTEGER zero = {0}, was;
  DWORD got = 0;
  BOOL read;
  if (!SetFilePointerEx(disk, zero, &was, FILE_CURRENT) ||
      !SetFilePointerEx(disk, zero, NULL, FILE_BEGIN))
    return FALSE;
  read = ReadFile(disk, sector, 512, &got, NULL) && got == 512;
  SetFilePointerEx(disk, was, NULL, FILE_BEGIN);
  return read;
}

static BOOL layout(HANDLE disk, DRIVE_LAYOUT_INFORMATION_EX *out, DWORD size,
                   DWORD *returned) {
  const DWORD needed = offsetof(DRIVE_LAYOUT_INFORMATION_EX, PartitionEntry) +
                       4 * sizeof(PARTITION_INFORMATION_EX);
  unsigned char *sector;
  DWORD i;
  if (!out || size < needed) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  sector = VirtualAlloc(NULL, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  if (!sector || !read_sector0(disk, sector)) {
    DWORD error = GetLastError();
    if (sector)
      VirtualFree(sector, 0, MEM_RELEASE);
    SetLastError(error ? error : ERROR_READ_FAULT);
    return FALSE;
  }
  memset(out, 0, needed);
  if (sector[510] != 0x55 || sector[511] != 0xAA) {
    out->PartitionStyle = PARTITION_STYLE_RAW;
    *returned = offsetof(DRIVE_LAYOUT_INFORMATION_EX, PartitionEntry);
  } else {
    out->PartitionStyle = PARTITION_STYLE_MBR;
    out->PartitionCount = 4;
    memcpy(&out->Mbr.Signature, sector + 440, 4);
    for (i = 0; i < 4; ++i) {
      const unsigned char *entry = sector + 446 + 16 * i;
      PARTITION_INFORMATION_EX *p = &out->PartitionEntry[i];
      DWORD start, count;
      memcpy(&start, entry + 8, 4);
      memcpy(&count, entry + 12, 4);
      p->PartitionStyle = PARTITION_STYLE_MBR;
      p->Mbr.PartitionType = entry[4];
      if (entry[4] == PARTITION_ENTRY_UNUSED)
        continue;
      p->StartingOffset.QuadPart = (LONGLONG)start * 512;
      p->PartitionLength.QuadPart = (LONGLONG)count * 512;
      p->PartitionNumber = i + 1;
      p->Mbr.BootIndicator = entry[0] == 0x80;
      p->Mbr.RecognizedPartition = TRUE;
      p->Mbr.HiddenSectors = start;
    }
    *returned = needed;
  }
  VirtualFree(sector, 0, MEM_RELEASE);
  return TRUE;
}

static BOOL WINAPI disk_control(HANDLE handle, DWORD code, LPVOID in, DWORD in_size,
                                LPVOID out, DWORD out_size, LPDWORD returned,
                                LPOVERLAPPED overlapped) {
  char path[MAX_PATH];
  DWORD error;
  if (wine_control(handle, code, in, in_size, out, out_size, returned, overlapped))
    return TRUE;
  error = GetLastError();
  if (error == ERROR_NOT_SUPPORTED && !overlapped && test_file("", path, sizeof path)) {
    if (code == IOCTL_DISK_GET_DRIVE_GEOMETRY_EX)
      return geometry(out, out_size, returned);
    if (code == IOCTL_DISK_GET_DRIVE_LAYOUT_EX)
      return layout(handle, out, out_size, returned);
  }
  SetLastError(error);
  return FALSE;
}

/* Points the program's import of kernel32's DeviceIoControl at
 * disk_control. */
static void take_disk_control(void) {
  unsigned char *base = (unsigned char *)GetModuleHandleA(NULL);
  IMAGE_NT_HEADERS *nt = (IMAGE_NT_HEADERS *)(base + ((IMAGE_DOS_HEADER *)base)->e_lfanew);
  IMAGE_DATA_DIRECTORY *dir = &nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  IMAGE_IMPORT_DESCRIPTOR *module;
  if (!dir->VirtualAddress)
    return;
  for (module = (IMAGE_IMPORT_DESCRIPTOR *)(base + dir->VirtualAddress); module->Name; ++module) {
    IMAGE_THUNK_DATA *names, *slots;
    if (_stricmp((const char *)base + module->Name, "kernel32.dll") != 0 ||
        !module->OriginalFirstThunk)
      continue;
    names = (IMAGE_THUNK_DATA *)(base + module->OriginalFirstThunk);
    slots = (IMAGE_THUNK_DATA *)(base + module->FirstThunk);
    for (; names->u1.AddressOfData; ++names, ++slots) {
      IMAGE_IMPORT_BY_NAME *name;
      DWORD protection;
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
        continue;
      name = (IMAGE_IMPORT_BY_NAME *)(base + names->u1.AddressOfData);
      if (strcmp((const char *)name->Name, "DeviceIoControl") != 0)
        continue;
      if (!VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function,
                          PAGE_READWRITE, &protection))
        return;
      wine_control = (ControlFunction)slots->u1.Function;
      slots->u1.Function = (ULONG_PTR)disk_control;
      VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, protection,
                     &protection);
      return;
    }
  }
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)instance;
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH)
    take_disk_control();
  return TRUE;
}
