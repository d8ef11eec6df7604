// Force-included into a second build of the Win32 backend, for the Windows unit tests only: a
// few system calls go to the fakes of win32_seam_test.cpp, which can report a reparse point or a
// pipe on a chosen file, or make one chosen call fail. Wine has no reparse points, so this is
// how the backend's refusals run there. The program is never built with it.
#ifndef WIN32_SEAM_H
#define WIN32_SEAM_H

#define _WIN32_WINNT 0x0602
#include "nt_calls.h"

NTSTATUS NTAPI seam_NtCreateFile(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                                 PIO_STATUS_BLOCK io, PLARGE_INTEGER size, ULONG file_attributes,
                                 ULONG share, ULONG disposition, ULONG options, PVOID ea,
                                 ULONG ea_length);
NTSTATUS NTAPI seam_NtSetInformationFile(HANDLE file, PIO_STATUS_BLOCK io, PVOID information,
                                         ULONG length, FILE_INFORMATION_CLASS which);
BOOL WINAPI seam_GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION information);
BOOL WINAPI seam_GetFileInformationByHandleEx(HANDLE file, FILE_INFO_BY_HANDLE_CLASS which,
                                              LPVOID information, DWORD size);
BOOL WINAPI seam_SetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS which,
                                            LPVOID information, DWORD size);
DWORD WINAPI seam_GetFinalPathNameByHandleW(HANDLE file, LPWSTR name, DWORD size, DWORD flags);
BOOL WINAPI seam_FlushFileBuffers(HANDLE file);
DWORD WINAPI seam_GetFileType(HANDLE file);
FARPROC WINAPI seam_GetProcAddress(HMODULE module, LPCSTR name);

#ifndef WIN32_SEAM_FAKES // the fakes themselves call the real ones
#define NtCreateFile seam_NtCreateFile
#define NtSetInformationFile seam_NtSetInformationFile
#define GetFileInformationByHandle seam_GetFileInformationByHandle
#define GetFileInformationByHandleEx seam_GetFileInformationByHandleEx
#define SetFileInformationByHandle seam_SetFileInformationByHandle
#define GetFinalPathNameByHandleW seam_GetFinalPathNameByHandleW
#define FlushFileBuffers seam_FlushFileBuffers
#define GetFileType seam_GetFileType
#define GetProcAddress seam_GetProcAddress
#endif

#endif
