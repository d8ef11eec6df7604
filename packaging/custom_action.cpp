// The Windows Installer package's own code: two immediate actions, run before the installation
// script is written, that only read and set properties. Windows Installer's tables do the whole
// installation; nothing here starts a program or changes anything on disk.
// - ZorvanPaths computes what the tables write into zvn.ini (the root as Install.exe names it,
//   escaped as the file format wants), and whether Install.exe would refuse that root, for the
//   error actions that then refuse it with Install.exe's own words.
// - ZorvanJudge refuses an installation folder that others could already change or fill, or
//   whose place others could change before the script runs.
#include <windows.h>

#include <aclapi.h>
#include <msi.h>
#include <msiquery.h>
#include <sddl.h>

#include <stdio.h>
#include <string.h>

#include <set>
#include <string>
#include <vector>

#include "install.h"
#include "platform.h"
#include "platform_win32.h"

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

// The value the package's Property table gives name: what tools/package wrote, never what a
// command line or another action set. Empty when there is none.
static std::wstring authored(MSIHANDLE install, const wchar_t* name) {
    std::wstring value;
    MSIHANDLE database = MsiGetActiveDatabase(install);
    MSIHANDLE view = 0, found = 0;
    MSIHANDLE wanted = MsiCreateRecord(1);
    MsiRecordSetStringW(wanted, 1, name);
    if (MsiDatabaseOpenViewW(database, L"SELECT `Value` FROM `Property` WHERE `Property` = ?",
                             &view) == ERROR_SUCCESS &&
        MsiViewExecute(view, wanted) == ERROR_SUCCESS &&
        MsiViewFetch(view, &found) == ERROR_SUCCESS) {
        DWORD length = 0;
        wchar_t none[1] = {};
        if (MsiRecordGetStringW(found, 1, none, &length) == ERROR_MORE_DATA) {
            value.resize(++length);
            MsiRecordGetStringW(found, 1, &value[0], &length);
            value.resize(length);
        }
    }
    for (MSIHANDLE handle : {found, view, wanted, database}) {
        if (handle != 0) {
            MsiCloseHandle(handle);
        }
    }
    return value;
}

// The parts of text between each separator: by default '|', which no path or name holds.
static std::vector<std::wstring> fields(const std::wstring& text, wchar_t separator = L'|') {
    std::vector<std::wstring> parts;
    size_t start = 0;
    for (size_t end; (end = text.find(separator, start)) != std::wstring::npos; start = end + 1) {
        parts.push_back(text.substr(start, end - start));
    }
    parts.push_back(text.substr(start));
    return parts;
}

// Writes text into the installer's log as an informational message. A record's text is
// formatted, so brackets and braces are escaped to stand for themselves ([ becomes [\[]).
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

// The folder without the separators at its end: the root as Install.exe names it when it runs
// from that folder ("C:" for a drive's root, as for C:\Install.exe).
static std::wstring without_separators(std::wstring folder) {
    while (!folder.empty() && folder.back() == L'\\') {
        folder.pop_back();
    }
    return folder;
}

// The 8-bit form of text in the system's code page, which the program's paths are; empty when
// text has none that names the same thing.
static std::string narrow(const std::wstring& text) {
    int count = static_cast<int>(text.size());
    if (count == 0 || !win32_fits_code_page(text.c_str(), count)) {
        return "";
    }
    int size = WideCharToMultiByte(CP_ACP, 0, text.c_str(), count, nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.c_str(), count, &bytes[0], size, nullptr, nullptr);
    return bytes;
}

// The ASCII text in wide characters.
static std::wstring widened(const char* text) {
    return std::wstring(text, text + strlen(text));
}

// Sets, for the tables, what Install.exe would make of INSTALLDIR as its root: ZorvanRootdir,
// the root escaped as zvn.ini holds it (a backslash before every backslash and semicolon). Where
// Install.exe would refuse the root, also ZorvanRootRefused, its words for that: the system's
// code page cannot represent the root, or the first of its paths, in the order it makes them,
// does not fit its buffers (the package's Property table lists their ends in ZorvanPaths). An
// error action then refuses the root before anything is written.
ACTION_ENTRY ZorvanPaths(MSIHANDLE install) {
    std::wstring root = without_separators(property_value(install, L"INSTALLDIR"));
    std::string bytes = narrow(root);
    if (bytes.empty()) {
        MsiSetPropertyW(install, L"ZorvanRootRefused",
                        (widened(INSTALL_ROOT_OFF_CODE_PAGE) + root).c_str());
        return ERROR_SUCCESS;
    }
    std::wstring ends = authored(install, L"ZorvanPaths");
    if (ends.empty()) {
        MsiSetPropertyW(install, L"ZorvanRootRefused", L"The package's paths cannot be read");
    }
    for (const std::wstring& end : fields(ends)) {
        if (bytes.size() + end.size() >= PATH_SIZE) { // the ends are ASCII: a byte a character
            char words[64];
            snprintf(words, sizeof words, INSTALL_PATH_TOO_LONG, PATH_SIZE - 1);
            MsiSetPropertyW(install, L"ZorvanRootRefused", (widened(words) + root + end).c_str());
            break;
        }
    }
    std::wstring escaped;
    for (wchar_t c : root) {
        if (c == L'\\' || c == L';') {
            escaped += L'\\';
        }
        escaped += c;
    }
    MsiSetPropertyW(install, L"ZorvanRootdir", escaped.c_str());
    return ERROR_SUCCESS;
}

// True under Wine, whose ntdll exports its version.
static bool under_wine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// The accounts that may own or change what the package installs into: SYSTEM, Administrators
// and TrustedInstaller, each as the bytes of its SID; under Wine, which reports one owner for
// every folder, also whoever owns the Windows folder (the prefix's one user). On Windows that
// owner is not trusted: an administrator's takeown can give the Windows folder to anybody.
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
// it, or change its access list or owner; to the nearest folder above one the package is yet to
// make, also create a folder or file in it (where the package's folder would go).
static const ACCESS_MASK change_folder =
    ~static_cast<ACCESS_MASK>(FILE_GENERIC_READ | FILE_GENERIC_EXECUTE);
static const ACCESS_MASK change_above = DELETE | WRITE_DAC | WRITE_OWNER | FILE_DELETE_CHILD;
static const ACCESS_MASK add_below = FILE_ADD_SUBDIRECTORY | FILE_ADD_FILE;

// True when the owner is a trusted account and the access list grants nobody else any of the
// rights forbidden (generic rights read as a file's). Only entries that apply to the folder
// itself count; a denying one only takes rights away, and an allowing one of another kind is
// refused. For a folder that the installation will make in this one (made_in), the entries that
// folder inherits count instead, but CREATOR OWNER's, which become its maker's, and the owner
// will be its maker.
static bool only_trusted_change(PSID owner, PACL dacl,
                                const std::vector<std::vector<BYTE>>& trusted,
                                ACCESS_MASK forbidden, bool made_in = false) {
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
    SID_IDENTIFIER_AUTHORITY creator = SECURITY_CREATOR_SID_AUTHORITY;
    PSID creator_owner = nullptr;
    AllocateAndInitializeSid(&creator, 1, SECURITY_CREATOR_OWNER_RID, 0, 0, 0, 0, 0, 0, 0,
                             &creator_owner);
    bool sound = owner != nullptr && dacl != nullptr && creator_owner != nullptr &&
                 (made_in || is_trusted(owner)); // no list: all may
    for (DWORD i = 0; sound && i < dacl->AceCount; i++) {
        ACE_HEADER* header = nullptr;
        sound = GetAce(dacl, i, reinterpret_cast<void**>(&header)) != 0;
        bool for_maker =
            sound && made_in && header->AceType == ACCESS_ALLOWED_ACE_TYPE &&
            EqualSid(&reinterpret_cast<ACCESS_ALLOWED_ACE*>(header)->SidStart, creator_owner);
        bool applies =
            sound && (made_in ? (header->AceFlags & CONTAINER_INHERIT_ACE) != 0 && !for_maker
                              : (header->AceFlags & INHERIT_ONLY_ACE) == 0);
        if (!sound || !applies || header->AceType == ACCESS_DENIED_ACE_TYPE ||
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
    FreeSid(creator_owner);
    return sound;
}

// only_trusted_change for the held folder, read through its handle.
static bool only_administrators_change(HANDLE folder, ACCESS_MASK forbidden, bool made_in = false) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(folder, SE_FILE_OBJECT,
                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                        &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    bool sound = only_trusted_change(owner, dacl, trusted_sids(), forbidden, made_in);
    LocalFree(descriptor);
    return sound;
}

// What a folder is held with while it is judged: its entries listed, its access list read.
static const ACCESS_MASK judging =
    FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | READ_CONTROL;

// Holds the folder name ("" for itself) in the held folder as the program holds the folders it
// works in (win32_hold_in), never through a reparse point. The refusal when that fails, or an
// empty text with *held set; *absent tells a folder that is not there, which is no refusal.
static std::wstring hold(HANDLE folder, const std::wstring& name, const std::wstring& path,
                         HANDLE* held, bool* absent = nullptr) {
    std::string bytes = narrow(name);
    *held = INVALID_HANDLE_VALUE;
    if (bytes.empty() && !name.empty()) {
        SetLastError(ERROR_INVALID_NAME); // no 8-bit name reaches it
    } else {
        *held = win32_hold_in(folder, bytes.c_str(), judging);
    }
    if (*held != INVALID_HANDLE_VALUE) {
        return L"";
    }
    DWORD error = GetLastError();
    if (absent != nullptr && (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)) {
        *absent = true;
        return L"";
    }
    if (error == ERROR_CANT_ACCESS_FILE || error == ERROR_DIRECTORY) {
        return path + L" is a link, a junction or no folder";
    }
    return L"Could not open " + path + L": " + error_text(error);
}

// The name in lowercase ASCII, as the package's names compare on Windows.
static std::wstring folded(std::wstring name) {
    for (wchar_t& c : name) {
        c = c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
    }
    return name;
}

// The names in the held folder, with a '\' after each folder's, or the refusal when it cannot
// be read; listed through its handle.
static std::wstring list(HANDLE folder, const std::wstring& path,
                         std::vector<std::wstring>* names) {
    alignas(FILE_FULL_DIR_INFO) BYTE buffer[16384];
    FILE_INFO_BY_HANDLE_CLASS next = FileFullDirectoryRestartInfo;
    while (GetFileInformationByHandleEx(folder, next, buffer, sizeof buffer)) {
        next = FileFullDirectoryInfo;
        for (BYTE* at = buffer;;) {
            auto* entry = reinterpret_cast<FILE_FULL_DIR_INFO*>(at);
            std::wstring name(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
            if (name != L"." && name != L"..") {
                bool is_folder = (entry->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
                names->push_back(is_folder ? name + L'\\' : name);
            }
            if (entry->NextEntryOffset == 0) {
                break;
            }
            at += entry->NextEntryOffset;
        }
    }
    DWORD error = GetLastError();
    return error == ERROR_NO_MORE_FILES ? L""
                                        : L"Could not read " + path + L": " + error_text(error);
}

// Judges the held folder path, relative below the installation folder (empty, or ending in
// '\'), and the package's folders in it, depth first: nobody but administrators may change
// them. known holds the package's relative names in lowercase, folders ending in '\'; where
// nothing of the product is installed here yet (first), anything else is refused too.
static std::wstring judge_folder(HANDLE held, const std::wstring& path,
                                 const std::wstring& relative, const std::set<std::wstring>& known,
                                 bool first) {
    if (!only_administrators_change(held, change_folder)) {
        return path + L" can be changed by users other than administrators";
    }
    std::vector<std::wstring> names;
    std::wstring refusal = list(held, path, &names);
    for (size_t i = 0; refusal.empty() && i < names.size(); i++) {
        const std::wstring& name = names[i];
        bool is_known = known.count(folded(relative + name)) != 0;
        if (!is_known && first) {
            return path + L" holds " + without_separators(name) +
                   L", which this package does not install";
        }
        if (is_known && name.back() == L'\\') {
            std::wstring child_path = without_separators(path) + L'\\' + without_separators(name);
            HANDLE child = INVALID_HANDLE_VALUE;
            refusal = hold(held, without_separators(name), child_path, &child);
            if (refusal.empty()) {
                refusal = judge_folder(child, child_path, relative + name, known, first);
                CloseHandle(child);
            }
        }
    }
    return refusal;
}

// Whether a version of this product is installed in folder, as Windows Installer registered it
// (never as a property a command line could set): *here when any is, *other when one that is
// not this very package is (an upgrade, whose removal may take the folder away to be made
// again).
static void installed_in(MSIHANDLE install, const std::wstring& folder, bool* here, bool* other) {
    std::wstring upgrade = authored(install, L"UpgradeCode");
    std::wstring product = authored(install, L"ProductCode");
    wchar_t code[39];
    for (DWORD i = 0; MsiEnumRelatedProductsW(upgrade.c_str(), 0, i, code) == ERROR_SUCCESS; i++) {
        wchar_t location[MAX_PATH] = {};
        DWORD length = MAX_PATH;
        // Installed for the machine: a user's own registrations name no folder of the package.
        if (MsiGetProductInfoExW(code, nullptr, MSIINSTALLCONTEXT_MACHINE, L"InstallLocation",
                                 location, &length) == ERROR_SUCCESS &&
            CompareStringOrdinal(without_separators(location).c_str(), -1, folder.c_str(), -1,
                                 TRUE) == CSTR_EQUAL) {
            *here = true;
            *other =
                *other || CompareStringOrdinal(code, -1, product.c_str(), -1, TRUE) != CSTR_EQUAL;
        }
    }
}

// The refusal of folder (INSTALLDIR without its separators), or an empty text. It must be a
// full path on a local fixed drive. Every folder above it, held one by one from the drive's root
// down as the program holds folders, must be owned by a trusted account and let nobody else
// delete, rename or re-permission it or an entry in it; the nearest above a folder that the
// script may make (one that is not there, or that an older version's removal may take away)
// must also let nobody else create in it: whoever made the folder first could keep it open.
// The folder itself, when it is there, and the package's folders in it are judged as
// judge_folder says.
static std::wstring judge(MSIHANDLE install, const std::wstring& folder) {
    wchar_t drive = folder.empty() ? L'\0' : folder[0];
    bool full = folder.size() >= 2 && folder[1] == L':' &&
                ((drive >= L'A' && drive <= L'Z') || (drive >= L'a' && drive <= L'z')) &&
                (folder.size() == 2 || folder[2] == L'\\') &&
                folder.find(L'/') == std::wstring::npos;
    std::vector<std::wstring> parts;
    if (full && folder.size() > 3) {
        parts = fields(folder.substr(3), L'\\');
    }
    // Windows paths drop a part's trailing dots and spaces, the names held here keep them: the
    // two would be different folders.
    for (const std::wstring& part : parts) {
        std::string bytes = narrow(part);
        full = full && !bytes.empty() && plat_plain_name(bytes.c_str()) && bytes.back() != '.' &&
               bytes.back() != ' ';
    }
    std::wstring root = folder.substr(0, 2) + L'\\';
    if (!full || GetDriveTypeW(root.c_str()) != DRIVE_FIXED) {
        return folder + L" is not a full path on a local fixed drive";
    }
    bool here = false, other = false;
    installed_in(install, folder, &here, &other);

    // The drive's root, then each folder down to the last one there, held until the end.
    std::vector<HANDLE> chain = {CreateFileW(root.c_str(), judging,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr)};
    std::vector<std::wstring> paths = {root};
    if (chain[0] == INVALID_HANDLE_VALUE) {
        return L"Could not open " + root + L": " + error_text(GetLastError());
    }
    std::wstring refusal;
    bool absent = false;
    for (size_t i = 0; refusal.empty() && !absent && i < parts.size(); i++) {
        HANDLE held = INVALID_HANDLE_VALUE;
        std::wstring path = without_separators(paths.back()) + L'\\' + parts[i];
        refusal = hold(chain.back(), parts[i], path, &held, &absent);
        if (held != INVALID_HANDLE_VALUE) {
            chain.push_back(held);
            paths.push_back(path);
        }
    }
    bool exists = refusal.empty() && !absent;
    size_t above = exists ? chain.size() - 1 : chain.size();
    for (size_t i = 0; refusal.empty() && i < above; i++) {
        if (!only_administrators_change(chain[i], change_above)) {
            refusal = paths[i] + L" can be changed by users other than administrators";
        } else if (i + 1 == above && (!exists || other) &&
                   !only_administrators_change(chain[i], add_below)) {
            refusal = L"Users other than administrators can create folders in " + paths[i];
        } else if (i + 1 == above && !exists && above < parts.size() &&
                   !only_administrators_change(chain[i], change_above | add_below, true)) {
            // The script makes the folders between it and INSTALLDIR, which inherit from it.
            refusal = L"Folders made in " + paths[i] +
                      L" can be changed by users other than administrators";
        }
    }
    if (refusal.empty() && exists) {
        std::set<std::wstring> known;
        for (const std::wstring& name : fields(authored(install, L"ZorvanKnown"))) {
            known.insert(folded(name));
        }
        refusal = judge_folder(chain.back(), paths.back(), L"", known, !here);
    }
    for (HANDLE held : chain) {
        CloseHandle(held);
    }
    return refusal;
}

// Refuses, before the script is written, an installation folder that others could already
// change or fill, or whose place others could change before the script runs (judge). Runs only
// while the product's files are to be installed or reinstalled, never when removing.
ACTION_ENTRY ZorvanJudge(MSIHANDLE install) {
    std::wstring folder = without_separators(property_value(install, L"INSTALLDIR"));
    std::wstring refusal = judge(install, folder);
    if (refusal.empty()) {
        return ERROR_SUCCESS;
    }
    log_line(install, refusal + L"; nothing was installed.");
    return ERROR_INSTALL_FAILURE;
}
