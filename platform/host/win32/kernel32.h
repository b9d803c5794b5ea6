// The kernel services of the emulated machine, by their Win32 names.
#pragma once

#include "platform/host/win32/win32_types.h"

#include <cstdarg>

// --- Errors and waiting -----------------------------------------------------

DWORD GetLastError();
void SetLastError(DWORD code);

/// Waits `milliseconds`; on the virtual clock (see kernel32_control.h) the
/// wait only advances the clock.
void Sleep(DWORD milliseconds);

// --- Modules and the process ------------------------------------------------

/// "kernel32" (any case, with or without ".dll") is the one module loaded.
HMODULE GetModuleHandleA(LPCSTR name);
/// The module's routine of that name, or null (ERROR_PROC_NOT_FOUND).
FARPROC GetProcAddress(HMODULE module, LPCSTR name);
HANDLE GetCurrentProcess();
/// Answers FALSE (a native process) unless the test forced an answer.
BOOL IsWow64Process(HANDLE process, PBOOL wow64);

// --- Messages and local memory ----------------------------------------------

#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200
#define FORMAT_MESSAGE_FROM_STRING 0x00000400
#define FORMAT_MESSAGE_FROM_HMODULE 0x00000800
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000
#define FORMAT_MESSAGE_ARGUMENT_ARRAY 0x00002000
#define FORMAT_MESSAGE_MAX_WIDTH_MASK 0x000000FF

#define LANG_NEUTRAL 0x00
#define SUBLANG_DEFAULT 0x01
#define MAKELANGID(primary, sub) ((DWORD(WORD(sub)) << 10) | DWORD(WORD(primary)))

#define ERROR_PROC_NOT_FOUND 127L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_MR_MID_NOT_FOUND 317L

/// The system's English text for common error codes, ending in CR LF as on
/// Windows. Only FORMAT_MESSAGE_FROM_SYSTEM with IGNORE_INSERTS is known;
/// with ALLOCATE_BUFFER, `buffer` is really a char** that receives a
/// LocalAlloc'ed text. 0 and ERROR_MR_MID_NOT_FOUND for an unknown code.
DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD message_id,
                     DWORD language_id, LPSTR buffer, DWORD size,
                     va_list *arguments);

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes);
/// Null on success, as on Windows.
HLOCAL LocalFree(HLOCAL memory);
#define LMEM_FIXED 0x0000
#define LMEM_ZEROINIT 0x0040
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)

// --- Raw devices, files and memory (kernel32_files.cpp) ----------------------
// The paths that open are the emulated machine's devices: \\.\PhysicalDriveN
// (the image of disk N) and \\.\X: (the volume with letter X).

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share_mode,
                   LPSECURITY_ATTRIBUTES security, DWORD disposition,
                   DWORD flags, HANDLE template_file);
BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD in_size,
                     LPVOID out, DWORD out_size, LPDWORD returned,
                     LPOVERLAPPED overlapped);
DWORD SetFilePointer(HANDLE file, LONG distance, PLONG distance_high,
                     DWORD method);
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD written,
               LPOVERLAPPED overlapped);
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD read,
              LPOVERLAPPED overlapped);
BOOL CloseHandle(HANDLE object);

/// Page-aligned, zero-filled memory, as on Windows.
LPVOID VirtualAlloc(LPVOID address, SIZE_T size, DWORD type, DWORD protect);
BOOL VirtualFree(LPVOID address, SIZE_T size, DWORD type);

/// The local time, or the time a test fixed (kernel32_control.h).
void GetLocalTime(LPSYSTEMTIME time);
