// The native calls, records and information classes that the Win32 backend (and the seam that
// stands in for some of its calls) uses beyond KERNEL32, laid out as the kernel documents them.
// winternl.h names only some of them, and MinGW's and Microsoft's copies name different ones, so
// they are declared here under names of their own: the sources build alike with both compilers.
#ifndef NT_CALLS_H
#define NT_CALLS_H

#include <string.h>
#include <windows.h>
#include <winternl.h>

// The information classes of NtSetInformationFile used here; the Ex ones from Windows 10 (the
// rename's from 1809) on.
enum NtClass : ULONG {
    nt_basic = 4,
    nt_rename = 10,
    nt_disposition = 13,
    nt_disposition_ex = 64,
    nt_rename_ex = 65,
};

struct NtBasic { // FILE_BASIC_INFORMATION: times of 0 stay as they are
    LARGE_INTEGER creation, last_access, last_write, change;
    ULONG attributes;
};

struct NtDisposition { // FILE_DISPOSITION_INFORMATION
    BOOLEAN delete_file;
};

struct NtRename { // FILE_RENAME_INFORMATION, and its Ex form, whose flags share the first field
    union {
        BOOLEAN replace_if_exists;
        ULONG flags;
    };
    HANDLE root_directory;
    ULONG name_length; // in bytes
    WCHAR name[1];
};

// RedirectionGuard, asked of SetProcessMitigationPolicy (Windows 10 22H2 and Windows 11 on): the
// policy ProcessRedirectionTrustPolicy and its record, PROCESS_MITIGATION_REDIRECTION_TRUST_POLICY,
// whose first flag, EnforceRedirectionTrust, turns it on. SDKs before Windows 11's name neither.
const PROCESS_MITIGATION_POLICY nt_redirection_trust_policy =
    static_cast<PROCESS_MITIGATION_POLICY>(16);
const DWORD nt_enforce_redirection_trust = 0x1;

struct NtRedirectionTrust { // PROCESS_MITIGATION_REDIRECTION_TRUST_POLICY
    DWORD flags;
};

// The class as the call's parameter type, which winternl.h declares with fewer values.
inline FILE_INFORMATION_CLASS nt_class(NtClass value) {
    static_assert(sizeof(FILE_INFORMATION_CLASS) == sizeof(ULONG), "a class is a ULONG");
    FILE_INFORMATION_CLASS which;
    ULONG number = value;
    memcpy(&which, &number, sizeof which);
    return which;
}

inline bool nt_success(NTSTATUS status) {
    return status >= 0;
}

extern "C" {
NTSTATUS NTAPI NtSetInformationFile(HANDLE hFile, PIO_STATUS_BLOCK io, PVOID ptr, ULONG len,
                                    FILE_INFORMATION_CLASS FileInformationClass);
NTSTATUS NTAPI RtlGetLastNtStatus();
}

#endif
