// The Windows Installer package's own custom actions, with the installation's rights: ZorvanJudge
// refuses a folder the package would lock and run in that others could already change, before
// anything is written or removed; ZorvanInstall runs INSTALLDIR\Install.exe with no shell, once it
// is sure that the program is the one the package placed and that only administrators can change
// the folder, and puts every line it prints into the installer's log; ZorvanRollback deletes by
// name what that run made when the installation rolls back. Each reads its data, fields separated
// by '|', which no path can hold.
#include <windows.h>

#include <aclapi.h>
#include <bcrypt.h>
#include <msi.h>
#include <msiquery.h>
#include <sddl.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#define ACTION_ENTRY extern "C" __declspec(dllexport) UINT __stdcall

// The property's value, empty when it is not set or cannot be read.
static std::wstring property_value(MSIHANDLE install, const wchar_t* name) {
    std::wstring value(256, L'\0');
    DWORD length = static_cast<DWORD>(value.size());
    UINT status = MsiGetPropertyW(install, name, &value[0], &length);
    if (status == ERROR_MORE_DATA) {
        value.resize(length + 1);
        length = static_cast<DWORD>(value.size());
        status = MsiGetPropertyW(install, name, &value[0], &length);
    }
    value.resize(status == ERROR_SUCCESS ? length : 0);
    return value;
}

// Splits the action's data at every '|': its CustomActionData when it runs from the script, else
// the property named immediate.
static std::vector<std::wstring> data_fields(MSIHANDLE install,
                                             const wchar_t* immediate = nullptr) {
    bool deferred = immediate == nullptr || MsiGetMode(install, MSIRUNMODE_SCHEDULED);
    std::wstring data = property_value(install, deferred ? L"CustomActionData" : immediate);
    std::vector<std::wstring> fields;
    size_t start = 0;
    for (size_t end; (end = data.find(L'|', start)) != std::wstring::npos; start = end + 1) {
        fields.push_back(data.substr(start, end - start));
    }
    fields.push_back(data.substr(start));
    return fields;
}

// Writes text into the installer's log as an informational message. A record's text is
// formatted, so the brackets and braces of the program's output are escaped to stand for
// themselves ([ becomes [\[]) instead of naming properties. Returns what the installer answered:
// IDCANCEL when the user cancels.
static int log_line(MSIHANDLE install, const std::wstring& text) {
    std::wstring escaped;
    for (wchar_t c : text) {
        if (c == L'[' || c == L']' || c == L'{' || c == L'}') {
            escaped += L"[\\";
            escaped += c;
            escaped += L']';
        } else {
            escaped += c;
        }
    }
    MSIHANDLE record = MsiCreateRecord(0);
    MsiRecordSetStringW(record, 0, escaped.c_str());
    int answer = MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
    MsiCloseHandle(record);
    return answer;
}

// The system's text for a Win32 error code, with its number.
static std::wstring error_text(DWORD error) {
    wchar_t* text = nullptr;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring message = L"error " + std::to_wstring(error);
    if (length != 0) {
        std::wstring system(text, length);
        while (!system.empty() && (system.back() == L'\n' || system.back() == L'\r')) {
            system.pop_back();
        }
        message += L": " + system;
    }
    LocalFree(text);
    return message;
}

// Logs one line the program printed, which is in the system's ANSI code page, as that program
// wrote it. False when the user cancels.
static bool forward_line(MSIHANDLE install, const std::string& line) {
    std::wstring text;
    if (!line.empty()) {
        int size = static_cast<int>(line.size());
        int length = MultiByteToWideChar(CP_ACP, 0, line.data(), size, nullptr, 0);
        text.resize(static_cast<size_t>(length));
        MultiByteToWideChar(CP_ACP, 0, line.data(), size, &text[0], length);
    }
    return log_line(install, L"Install.exe: " + text) != IDCANCEL;
}

// Logs the whole lines the program has printed so far, and at its end a last line without its
// line end too, never waiting for more. False when the user cancels.
static bool forward_output(MSIHANDLE install, HANDLE output, std::string* line, bool at_end) {
    char buffer[4096];
    DWORD available = 0, count = 0;
    while (PeekNamedPipe(output, nullptr, 0, nullptr, &available, nullptr) && available != 0 &&
           ReadFile(output, buffer, available < sizeof buffer ? available : sizeof buffer, &count,
                    nullptr) &&
           count != 0) {
        for (DWORD i = 0; i < count; i++) {
            if (buffer[i] != '\n') {
                *line += buffer[i];
                continue;
            }
            if (!line->empty() && line->back() == '\r') {
                line->pop_back();
            }
            if (!forward_line(install, *line)) {
                return false;
            }
            line->clear();
        }
    }
    return !at_end || line->empty() || forward_line(install, *line);
}

// Tells the installer that the action is still at work, which is when a cancel is answered.
// False when the user cancels.
static bool still_wanted(MSIHANDLE install) {
    MSIHANDLE record = MsiCreateRecord(3);
    MsiRecordSetInteger(record, 1, 2); // move the progress bar on, by nothing
    MsiRecordSetInteger(record, 2, 0);
    MsiRecordSetInteger(record, 3, 0);
    int answer = MsiProcessMessage(install, INSTALLMESSAGE_PROGRESS, record);
    MsiCloseHandle(record);
    return answer != IDCANCEL;
}

// Opens an entry of a folder as itself, never what a reparse point there leads to; without
// delete sharing, so that it stays the entry that was checked while it is held (nor can a folder
// above it be renamed), and sharing only reading unless share_write.
static HANDLE open_entry(const std::wstring& path, DWORD access, bool share_write = true) {
    return CreateFileW(path.c_str(), access | FILE_READ_ATTRIBUTES,
                       FILE_SHARE_READ | (share_write ? FILE_SHARE_WRITE : 0), nullptr,
                       OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                       nullptr);
}

// True when the held entry is a folder (a real one, when folder is true) or a file (a link too).
static bool entry_is(HANDLE entry, bool folder) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(entry, &info)) {
        return false;
    }
    bool is_folder = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    bool is_link = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    return folder ? is_folder && !is_link : !is_folder;
}

// True when the held entry is a file and no reparse point.
static bool plain_file(HANDLE entry) {
    BY_HANDLE_FILE_INFORMATION info;
    return GetFileInformationByHandle(entry, &info) &&
           (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

// The SHA-256 of what the held file holds, in lowercase hexadecimal; empty when it cannot be read.
static std::wstring file_sha256(HANDLE file) {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    std::wstring hex;
    if (BCRYPT_SUCCESS(
            BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) &&
        BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0))) {
        std::vector<UCHAR> buffer(65536);
        DWORD count = 0;
        bool read = true;
        while (read) { // to the end of the file, or the first failure
            read = ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &count,
                            nullptr) != 0;
            if (!read || count == 0) {
                break;
            }
            read = BCRYPT_SUCCESS(BCryptHashData(hash, buffer.data(), count, 0));
        }
        UCHAR digest[32];
        if (read && BCRYPT_SUCCESS(BCryptFinishHash(hash, digest, sizeof digest, 0))) {
            for (UCHAR octet : digest) {
                hex += L"0123456789abcdef"[octet >> 4];
                hex += L"0123456789abcdef"[octet & 15];
            }
        }
    }
    if (hash != nullptr) {
        BCryptDestroyHash(hash);
    }
    if (algorithm != nullptr) {
        BCryptCloseAlgorithmProvider(algorithm, 0);
    }
    return hex;
}

// True under Wine, whose ntdll exports its version.
static bool under_wine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// The accounts that may own or change what this action runs: SYSTEM, Administrators and
// TrustedInstaller, each as the bytes of its SID; under Wine, which reports one owner for every
// folder, also whoever owns the Windows folder (the prefix's one user). On Windows that owner is
// not trusted: an administrator's takeown can give the Windows folder to anybody. Never the
// account the action runs as.
static std::vector<std::vector<BYTE>> trusted_sids(bool wine = under_wine()) {
    std::vector<std::vector<BYTE>> sids;
    for (WELL_KNOWN_SID_TYPE type : {WinLocalSystemSid, WinBuiltinAdministratorsSid}) {
        std::vector<BYTE> sid(SECURITY_MAX_SID_SIZE);
        DWORD size = static_cast<DWORD>(sid.size());
        if (CreateWellKnownSid(type, nullptr, sid.data(), &size)) {
            sids.push_back(sid);
        }
    }
    PSID installer = nullptr; // NT SERVICE\TrustedInstaller, from the SHA-1 of its name
    if (ConvertStringSidToSidW(L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464",
                               &installer)) {
        BYTE* bytes = static_cast<BYTE*>(installer);
        sids.emplace_back(bytes, bytes + GetLengthSid(installer));
        LocalFree(installer);
    }
    wchar_t windows[MAX_PATH];
    UINT length = wine ? GetSystemWindowsDirectoryW(windows, MAX_PATH) : 0;
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (length != 0 && length < MAX_PATH &&
        GetNamedSecurityInfoW(windows, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                              nullptr, nullptr, &descriptor) == ERROR_SUCCESS &&
        owner != nullptr) {
        BYTE* bytes = static_cast<BYTE*>(owner);
        sids.emplace_back(bytes, bytes + GetLengthSid(owner));
    }
    LocalFree(descriptor);
    return sids;
}

// What others may not do: to the installation folder and the package's folders in it, anything
// but read and run what they hold; to every folder above it, delete or rename it or an entry in
// it, or change its access list or owner; to the nearest folder above a folder the package is
// yet to make, also create a folder or file in it (where the package's folder would go).
static const ACCESS_MASK change_folder =
    ~static_cast<ACCESS_MASK>(FILE_GENERIC_READ | FILE_GENERIC_EXECUTE);
static const ACCESS_MASK change_above = DELETE | WRITE_DAC | WRITE_OWNER | FILE_DELETE_CHILD;
static const ACCESS_MASK add_below = FILE_ADD_SUBDIRECTORY | FILE_ADD_FILE;

// True when the owner is a trusted account and the access list grants nobody else any of the
// rights forbidden (generic rights read as a file's). Only entries that apply to the folder
// itself count; a denying one only takes rights away, and an allowing one of another kind is
// refused.
static bool only_trusted_change(PSID owner, PACL dacl,
                                const std::vector<std::vector<BYTE>>& trusted,
                                ACCESS_MASK forbidden) {
    auto is_trusted = [&trusted](PSID sid) {
        for (const std::vector<BYTE>& known : trusted) {
            if (EqualSid(sid, const_cast<BYTE*>(known.data()))) {
                return true;
            }
        }
        return false;
    };
    GENERIC_MAPPING file_rights = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                                   FILE_ALL_ACCESS};
    bool sound = owner != nullptr && dacl != nullptr && is_trusted(owner); // no list: all may
    for (DWORD i = 0; sound && i < dacl->AceCount; i++) {
        ACE_HEADER* header = nullptr;
        sound = GetAce(dacl, i, reinterpret_cast<void**>(&header)) != 0;
        if (!sound || (header->AceFlags & INHERIT_ONLY_ACE) != 0 ||
            header->AceType == ACCESS_DENIED_ACE_TYPE ||
            header->AceType == ACCESS_DENIED_OBJECT_ACE_TYPE ||
            header->AceType == ACCESS_DENIED_CALLBACK_ACE_TYPE ||
            header->AceType == ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE) {
            continue;
        }
        auto* allowed = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
        ACCESS_MASK rights = allowed->Mask;
        MapGenericMask(&rights, &file_rights);
        sound = header->AceType == ACCESS_ALLOWED_ACE_TYPE &&
                ((rights & forbidden) == 0 || is_trusted(&allowed->SidStart));
    }
    return sound;
}

// only_trusted_change for the held folder.
static bool only_administrators_change(HANDLE folder, ACCESS_MASK forbidden = change_folder) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(folder, SE_FILE_OBJECT,
                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                        &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    bool sound = only_trusted_change(owner, dacl, trusted_sids(), forbidden);
    LocalFree(descriptor);
    return sound;
}

// Starts the program with exactly the two pipe ends it is given as its standard streams, and
// no other handle of this process.
static bool start_program(const std::wstring& program, std::wstring command_line,
                          const std::wstring& folder, HANDLE input, HANDLE output,
                          PROCESS_INFORMATION* process) {
    HANDLE inherited[] = {input, output};
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<char> attributes(size);
    STARTUPINFOEXW startup = {};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = input;
    startup.StartupInfo.hStdOutput = output;
    startup.StartupInfo.hStdError = output;
    startup.lpAttributeList = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes.data());
    if (!InitializeProcThreadAttributeList(startup.lpAttributeList, 1, 0, &size)) {
        return false;
    }
    bool started =
        UpdateProcThreadAttribute(startup.lpAttributeList, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                  inherited, sizeof inherited, nullptr, nullptr) &&
        CreateProcessW(program.c_str(), &command_line[0], nullptr, nullptr, TRUE,
                       CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT, nullptr, folder.c_str(),
                       &startup.StartupInfo, process);
    DWORD error = GetLastError();
    DeleteProcThreadAttributeList(startup.lpAttributeList);
    SetLastError(error);
    return started;
}

// Runs Install.exe, held and checked by the caller, in its folder and returns the action's
// result. The full variant is the program's default answer, given as a person pressing Enter;
// the minimal one is its -s. A program that fails, or cannot start, fails the action; a cancel
// ends it, leaving each file it writes old or new.
static UINT run_program(MSIHANDLE install, const std::wstring& folder, bool full) {
    std::wstring program = folder + L"Install.exe";
    std::wstring command_line = L"\"" + program + (full ? L"\"" : L"\" -s");

    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    HANDLE output_read = nullptr, output_write = nullptr, input_read = nullptr,
           input_write = nullptr;
    if (!CreatePipe(&output_read, &output_write, &inheritable, 0) ||
        !CreatePipe(&input_read, &input_write, &inheritable, 0) ||
        !SetHandleInformation(output_read, HANDLE_FLAG_INHERIT, 0) ||
        !SetHandleInformation(input_write, HANDLE_FLAG_INHERIT, 0)) {
        log_line(install,
                 L"Could not make the pipes for Install.exe: " + error_text(GetLastError()));
        for (HANDLE pipe : {output_read, output_write, input_read, input_write}) {
            if (pipe != nullptr) {
                CloseHandle(pipe);
            }
        }
        return ERROR_INSTALL_FAILURE;
    }
    PROCESS_INFORMATION process = {};
    bool started = start_program(program, command_line, folder, input_read, output_write, &process);
    DWORD start_error = GetLastError();
    CloseHandle(input_read);
    CloseHandle(output_write);
    if (started && full) {
        DWORD written = 0;
        WriteFile(input_write, "\n", 1, &written, nullptr);
    }
    CloseHandle(input_write);
    if (!started) {
        CloseHandle(output_read);
        log_line(install, L"Could not start " + program + L": " + error_text(start_error));
        return ERROR_INSTALL_FAILURE;
    }
    CloseHandle(process.hThread);
    // Never blocked on the program: every fifth of a second its output is logged and the
    // installer asked whether the user canceled.
    std::string line;
    bool canceled = false, running = true;
    while (running && !canceled) {
        running = WaitForSingleObject(process.hProcess, 200) == WAIT_TIMEOUT;
        canceled = !forward_output(install, output_read, &line, !running) || !still_wanted(install);
    }
    if (canceled) {
        TerminateProcess(process.hProcess, ERROR_INSTALL_USEREXIT);
        WaitForSingleObject(process.hProcess, 10000);
    }
    CloseHandle(output_read);
    DWORD status = 1;
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hProcess);
    if (canceled) {
        return ERROR_INSTALL_USEREXIT;
    }
    if (status != 0) {
        log_line(install, L"Install.exe failed with exit status " + std::to_wstring(status));
        return ERROR_INSTALL_FAILURE;
    }
    return ERROR_SUCCESS;
}

// The folder without the separators at its end, but a drive's root as itself (C:\, not C:, which
// is the current folder of drive C).
static std::wstring without_separator(std::wstring folder) {
    while (folder.size() > 1 && folder.back() == L'\\' &&
           !(folder.size() == 3 && folder[1] == L':')) {
        folder.pop_back();
    }
    return folder;
}

// The name in lowercase ASCII, as the package's names compare on Windows.
static std::wstring folded(std::wstring name) {
    std::transform(name.begin(), name.end(), name.begin(), [](wchar_t c) {
        return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
    });
    return name;
}

// What the judge of a folder found: nothing (an empty text), or the line that refuses it.
struct Verdict {
    std::wstring refusal;
    bool unreadable = false; // refused only because a folder could not be read
};

// Refuses for a folder that could not be opened or read.
static void refuse_unreadable(const std::wstring& what, const std::wstring& path,
                              Verdict* verdict) {
    DWORD error = GetLastError();
    verdict->refusal = what + path + L": " + error_text(error);
    verdict->unreadable = error == ERROR_ACCESS_DENIED;
}

// Judges where the installation folder is (without a separator at its end, as
// without_separator leaves it): a full path on a local fixed drive, and every folder above it
// that exists up to the drive's root opened as itself, owned by a trusted account and letting
// nobody else delete, rename or re-permission it or an entry in it. When the package is to make
// the folder after this judge (it does not exist, or an upgrade may remove it first), nobody else
// may create a folder or file in the nearest one above it either: whoever made it first could
// keep it open.
static void judge_place(const std::wstring& folder, bool to_be_made, Verdict* verdict) {
    bool full =
        folder.size() >= 3 && folder[1] == L':' && folder[2] == L'\\' &&
        ((folder[0] >= L'A' && folder[0] <= L'Z') || (folder[0] >= L'a' && folder[0] <= L'z')) &&
        folder.find(L'/') == std::wstring::npos;
    for (size_t start = 3; full && start < folder.size();) {
        size_t end = folder.find(L'\\', start);
        end = end == std::wstring::npos ? folder.size() : end;
        std::wstring name = folder.substr(start, end - start);
        full = !name.empty() && name != L"." && name != L"..";
        start = end + 1;
    }
    if (!full || GetDriveTypeW(folder.substr(0, 3).c_str()) != DRIVE_FIXED) {
        verdict->refusal = folder + L" is not a full path on a local fixed drive";
        return;
    }
    bool nearest = to_be_made;
    for (size_t end = folder.size(); verdict->refusal.empty() && end > 3;) {
        end = folder.rfind(L'\\', end - 1);
        std::wstring above = folder.substr(0, end > 3 ? end : 3);
        HANDLE held = open_entry(above, READ_CONTROL);
        DWORD error = GetLastError();
        if (held == INVALID_HANDLE_VALUE) {
            if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
                SetLastError(error);
                refuse_unreadable(L"Could not open ", above, verdict);
            }
            continue;
        }
        if (!entry_is(held, true)) {
            verdict->refusal = above + L" is a link, a junction or no folder";
        } else if (!only_administrators_change(held, change_above)) {
            verdict->refusal = above + L" can be changed by users other than administrators";
        } else if (nearest && !only_administrators_change(held, add_below)) {
            verdict->refusal = L"Users other than administrators can create folders in " + above;
        }
        nearest = false;
        CloseHandle(held);
    }
}

// Judges the held folder path (ending in '\'), relative below the installation folder (empty, or
// ending in '\'), and what it holds that the package knows of, depth first. known holds the
// package's relative names in lowercase, folders ending in '\'; on a first installation
// anything else is refused too.
static void judge_folder(HANDLE held, const std::wstring& path, const std::wstring& relative,
                         const std::set<std::wstring>& known, bool first, Verdict* verdict) {
    if (!entry_is(held, true)) {
        verdict->refusal = without_separator(path) + L" is a link, a junction or no folder";
        return;
    }
    if (!only_administrators_change(held)) {
        verdict->refusal =
            without_separator(path) + L" can be changed by users other than administrators";
        return;
    }
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileExW((path + L'*').c_str(), FindExInfoBasic, &found,
                                     FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) {
        refuse_unreadable(L"Could not read ", without_separator(path), verdict);
        return;
    }
    std::vector<std::wstring> folders;
    do {
        std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") {
            continue;
        }
        bool folder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        std::wstring entry = folded(relative + name) + (folder ? L"\\" : L"");
        if (known.count(entry) != 0 && folder) {
            folders.push_back(name);
        } else if (first && known.count(entry) == 0) {
            verdict->refusal = without_separator(path) + L" holds " + name +
                               L", which this package does not install";
        }
    } while (verdict->refusal.empty() && FindNextFileW(search, &found));
    FindClose(search);
    for (size_t i = 0; verdict->refusal.empty() && i < folders.size(); i++) {
        HANDLE child = open_entry(path + folders[i], READ_CONTROL);
        if (child == INVALID_HANDLE_VALUE) {
            refuse_unreadable(L"Could not open ", path + folders[i], verdict);
            return;
        }
        judge_folder(child, path + folders[i] + L'\\', relative + folders[i] + L'\\', known, first,
                     verdict);
        CloseHandle(child);
    }
}

// Refuses, before anything is written or removed, an installation folder that others could
// already change or make first. Data: "1" on a first installation, "2" on an upgrade, whose
// removal of the older version can take the folder away to be made again (else empty),
// INSTALLDIR, then every name the package installs or Install.exe makes, relative to it. Run
// from the script with the installation's rights, and once before it with the user's, which
// leaves a folder it may not read to the other run.
ACTION_ENTRY ZorvanJudge(MSIHANDLE install) {
    std::vector<std::wstring> fields = data_fields(install, L"ZorvanJudge");
    if (fields.size() < 2 || fields[1].empty()) {
        log_line(install, L"ZorvanJudge: unexpected data");
        return ERROR_INSTALL_FAILURE;
    }
    std::wstring folder = without_separator(fields[1]);
    std::set<std::wstring> known;
    for (size_t i = 2; i < fields.size(); i++) {
        known.insert(folded(fields[i]));
    }
    HANDLE held = open_entry(folder, READ_CONTROL);
    DWORD error = GetLastError();
    bool exists = held != INVALID_HANDLE_VALUE ||
                  (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND);
    Verdict verdict;
    judge_place(folder, !exists || fields[0] == L"2", &verdict);
    if (verdict.refusal.empty() && held == INVALID_HANDLE_VALUE && exists) {
        SetLastError(error);
        refuse_unreadable(L"Could not open ", folder, &verdict);
    }
    if (held != INVALID_HANDLE_VALUE) {
        if (verdict.refusal.empty()) {
            judge_folder(held, folder.back() == L'\\' ? folder : folder + L'\\', L"", known,
                         fields[0] == L"1", &verdict);
        }
        CloseHandle(held);
    }
    if (verdict.unreadable && !MsiGetMode(install, MSIRUNMODE_SCHEDULED)) {
        return ERROR_SUCCESS; // left to the run with the installation's rights
    }
    if (!verdict.refusal.empty()) {
        log_line(install, verdict.refusal + L"; nothing was installed.");
        return ERROR_INSTALL_FAILURE;
    }
    return ERROR_SUCCESS;
}

// The path of the held entry as the system resolves it (its drive letter, long names, through
// any link), without the \\?\ before it; empty when it cannot be read.
static std::wstring final_path(HANDLE held) {
    std::wstring path(MAX_PATH, L'\0');
    const DWORD flags = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;
    DWORD length =
        GetFinalPathNameByHandleW(held, &path[0], static_cast<DWORD>(path.size()), flags);
    if (length >= path.size()) {
        path.resize(length);
        length = GetFinalPathNameByHandleW(held, &path[0], static_cast<DWORD>(path.size()), flags);
    }
    path.resize(length < path.size() ? length : 0);
    if (path.compare(0, 4, L"\\\\?\\") == 0) {
        path.erase(0, 4);
    }
    return path;
}

// Opens INSTALLDIR as itself and judges it and where it is again, for an action that is about to
// run or delete something in it: the refusal (empty when sound) and the held folder, which the
// caller closes.
static std::wstring judge_held(const std::wstring& folder, HANDLE* held) {
    *held = open_entry(folder, READ_CONTROL);
    if (*held == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        std::wstring refusal = L"Could not open " + folder + L": " + error_text(error);
        SetLastError(error); // for a caller to whom a missing folder is no failure
        return refusal;
    }
    Verdict verdict;
    judge_place(folder, false, &verdict);
    if (!verdict.refusal.empty()) {
        return verdict.refusal;
    }
    if (!entry_is(*held, true) || !only_administrators_change(*held)) {
        return folder + L" can be changed by users other than administrators";
    }
    std::wstring reached = final_path(*held);
    if (CompareStringOrdinal(reached.c_str(), -1, folder.c_str(), -1, TRUE) != CSTR_EQUAL) {
        return folder + L" leads to " + (reached.empty() ? L"a path that cannot be read" : reached);
    }
    return L"";
}

// Runs INSTALLDIR\Install.exe as run_program does. Data: the boot variant (full or minimal), the
// SHA-256 of the Install.exe the package holds, then INSTALLDIR. Nothing runs unless INSTALLDIR
// is a real folder that only administrators can change, at the path it names, every folder above
// it judged as ZorvanJudge judges them, and Install.exe a plain file with those bytes; both are
// held until the program has ended, so that neither (nor a folder above them) can be replaced,
// renamed or written to in between.
ACTION_ENTRY ZorvanInstall(MSIHANDLE install) {
    std::vector<std::wstring> fields = data_fields(install);
    if (fields.size() != 3 || fields[2].empty()) {
        log_line(install, L"ZorvanInstall: unexpected CustomActionData");
        return ERROR_INSTALL_FAILURE;
    }
    std::wstring folder = without_separator(fields[2]);
    HANDLE held_folder = INVALID_HANDLE_VALUE;
    std::wstring refusal = judge_held(folder, &held_folder);
    if (!refusal.empty()) {
        if (held_folder != INVALID_HANDLE_VALUE) {
            CloseHandle(held_folder);
        }
        log_line(install, refusal + L"; nothing was run.");
        return ERROR_INSTALL_FAILURE;
    }
    UINT result = ERROR_INSTALL_FAILURE;
    std::wstring inside = folder.back() == L'\\' ? folder : folder + L'\\';
    HANDLE program = open_entry(inside + L"Install.exe", GENERIC_READ, false);
    if (program != INVALID_HANDLE_VALUE && plain_file(program) &&
        file_sha256(program) == fields[1]) {
        result = run_program(install, inside, fields[0] == L"full");
    } else {
        log_line(install, L"Install.exe in " + folder +
                              L" is not the one this package installed; nothing was run.");
    }
    if (program != INVALID_HANDLE_VALUE) {
        CloseHandle(program);
    }
    CloseHandle(held_folder);
    return result;
}

// Deletes the held entry through its handle.
static bool delete_entry(HANDLE entry) {
    FILE_DISPOSITION_INFO disposition = {TRUE};
    return SetFileInformationByHandle(entry, FileDispositionInfo, &disposition,
                                      sizeof disposition) != 0;
}

// Deletes folder\name (name relative, its parts separated by '\'), which is a file or a link
// but never the place a link leads to: each folder on the way is held while it is checked to be
// a real folder. Only a failure other than the name not being there is logged.
static void remove_made(MSIHANDLE install, const std::wstring& folder, const std::wstring& name) {
    std::vector<HANDLE> held;
    std::wstring path = folder;
    size_t start = 0;
    bool reached = true;
    for (size_t end; reached && (end = name.find(L'\\', start)) != std::wstring::npos;
         start = end + 1) {
        path += name.substr(start, end - start) + L'\\';
        HANDLE parent = open_entry(path, 0);
        reached = parent != INVALID_HANDLE_VALUE && entry_is(parent, true);
        if (parent != INVALID_HANDLE_VALUE) {
            held.push_back(parent);
        }
    }
    if (reached) {
        path += name.substr(start);
        HANDLE entry = open_entry(path, DELETE);
        DWORD error = GetLastError();
        if (entry == INVALID_HANDLE_VALUE) {
            if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
                log_line(install, L"Could not remove " + path + L": " + error_text(error));
            }
        } else {
            if (!entry_is(entry, false) || !delete_entry(entry)) {
                log_line(install, L"Could not remove " + path + L": " + error_text(GetLastError()));
            }
            CloseHandle(entry);
        }
    }
    for (HANDLE parent : held) {
        CloseHandle(parent);
    }
}

// Undoes ZorvanInstall when the installation rolls back. Data: the names Install.exe makes,
// relative to INSTALLDIR, then INSTALLDIR. Deletes each, then bin when it is left empty, while
// INSTALLDIR is held, and only when it and where it is are judged as ZorvanInstall judges them.
ACTION_ENTRY ZorvanRollback(MSIHANDLE install) {
    std::vector<std::wstring> fields = data_fields(install);
    std::wstring folder = without_separator(fields.back());
    if (fields.size() < 2 || folder.empty()) {
        return ERROR_SUCCESS;
    }
    HANDLE held = INVALID_HANDLE_VALUE;
    std::wstring refusal = judge_held(folder, &held);
    if (held == INVALID_HANDLE_VALUE &&
        (GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND)) {
        return ERROR_SUCCESS; // nothing was made
    }
    if (!refusal.empty()) {
        if (held != INVALID_HANDLE_VALUE) {
            CloseHandle(held);
        }
        log_line(install, refusal + L"; nothing was removed.");
        return ERROR_INSTALL_FAILURE;
    }
    if (folder.back() != L'\\') {
        folder += L'\\';
    }
    fields.pop_back();
    for (const std::wstring& name : fields) {
        remove_made(install, folder, name);
    }
    HANDLE bin = open_entry(folder + L"bin", DELETE);
    if (bin != INVALID_HANDLE_VALUE) {
        if (entry_is(bin, true)) {
            delete_entry(bin); // refused while anything is left in it
        }
        CloseHandle(bin);
    }
    CloseHandle(held);
    return ERROR_SUCCESS;
}
