// The Windows Installer package's own custom actions, run deferred with the installation's rights:
// ZorvanInstall runs INSTALLDIR\Install.exe with no shell and puts every line it prints into the
// installer's log; ZorvanRollback deletes by name what that run made when the installation rolls
// back. Each reads its CustomActionData, fields separated by '|', which no path can hold.
#include <windows.h>

#include <msi.h>
#include <msiquery.h>

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

// Splits the action's data at every '|'.
static std::vector<std::wstring> data_fields(MSIHANDLE install) {
    std::wstring data = property_value(install, L"CustomActionData");
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
// themselves ([ becomes [\[]) instead of naming properties.
static void log_line(MSIHANDLE install, const std::wstring& text) {
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
    MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
    MsiCloseHandle(record);
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
// wrote it.
static void forward_line(MSIHANDLE install, const std::string& line) {
    std::wstring text;
    if (!line.empty()) {
        int size = static_cast<int>(line.size());
        int length = MultiByteToWideChar(CP_ACP, 0, line.data(), size, nullptr, 0);
        text.resize(static_cast<size_t>(length));
        MultiByteToWideChar(CP_ACP, 0, line.data(), size, &text[0], length);
    }
    log_line(install, L"Install.exe: " + text);
}

// Reads the program's output to its end and logs it line by line, a last line without its line
// end too.
static void forward_output(MSIHANDLE install, HANDLE output) {
    std::string line;
    char buffer[4096];
    DWORD count = 0;
    while (ReadFile(output, buffer, sizeof buffer, &count, nullptr) && count != 0) {
        for (DWORD i = 0; i < count; i++) {
            if (buffer[i] != '\n') {
                line += buffer[i];
                continue;
            }
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            forward_line(install, line);
            line.clear();
        }
    }
    if (!line.empty()) {
        forward_line(install, line);
    }
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

// Runs INSTALLDIR\Install.exe in INSTALLDIR. Data: the boot variant (full or minimal), then
// INSTALLDIR. The full variant is the program's default answer, given as a person pressing
// Enter; the minimal one is its -s. A program that fails, or cannot start, fails the action.
ACTION_ENTRY ZorvanInstall(MSIHANDLE install) {
    std::vector<std::wstring> fields = data_fields(install);
    if (fields.size() != 2 || fields[1].empty()) {
        log_line(install, L"ZorvanInstall: unexpected CustomActionData");
        return ERROR_INSTALL_FAILURE;
    }
    bool full = fields[0] == L"full";
    std::wstring folder = fields[1];
    if (folder.back() != L'\\') {
        folder += L'\\';
    }
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
    forward_output(install, output_read);
    CloseHandle(output_read);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 1;
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hProcess);
    if (status != 0) {
        log_line(install, L"Install.exe failed with exit status " + std::to_wstring(status));
        return ERROR_INSTALL_FAILURE;
    }
    return ERROR_SUCCESS;
}

// Opens an entry of a folder as itself, never what a reparse point there leads to; without
// delete sharing, so that it stays the entry that was checked while it is held.
static HANDLE open_entry(const std::wstring& path, DWORD access) {
    return CreateFileW(path.c_str(), access | FILE_READ_ATTRIBUTES,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// True when the held entry is a folder (a real one, when folder is true) or a file.
static bool entry_is(HANDLE entry, bool folder) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(entry, &info)) {
        return false;
    }
    bool is_folder = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    bool is_link = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    return folder ? is_folder && !is_link : !is_folder;
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
// relative to INSTALLDIR, then INSTALLDIR. Deletes each, then bin when it is left empty.
ACTION_ENTRY ZorvanRollback(MSIHANDLE install) {
    std::vector<std::wstring> fields = data_fields(install);
    std::wstring folder = fields.back();
    if (fields.size() < 2 || folder.empty()) {
        return ERROR_SUCCESS;
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
    return ERROR_SUCCESS;
}
