// Who may change the installation folder, and which folders may be taken over at all.
#include "tvxsetup.h"

#include <aclapi.h>
#include <sddl.h>
#include <cstdio>
#include <cwctype>

namespace tvxsetup {

bool IsTrustedOwner(PSID owner) {
    if (IsWellKnownSid(owner, WinLocalSystemSid) || IsWellKnownSid(owner, WinBuiltinAdministratorsSid)) return true;
    PSID installer = nullptr;
    bool trusted =
        ConvertStringSidToSidW(L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464", &installer) &&
        EqualSid(owner, installer);
    if (installer) LocalFree(installer);
    return trusted;
}

// Wine keeps neither owners nor access lists of files: every file reads back as owned by the
// user running it, with a list made from the Unix mode bits.
bool IsWineFileOwner(PSID owner) {
    if (!RunsOnWine()) return false;
    HANDLE token = nullptr;
    BYTE buffer[256];
    DWORD size = 0;
    bool same = OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) &&
                GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size) &&
                EqualSid(owner, reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid);
    if (token) CloseHandle(token);
    return same;
}

std::wstring SidText(PSID sid) {
    wchar_t* text = nullptr;
    std::wstring out = ConvertSidToStringSidW(sid, &text) ? text : L"another account";
    if (text) LocalFree(text);
    return out;
}

// Empty when the file or folder is owned by SYSTEM or Administrators and only they may change it
// (inherited grants included); else what reads back otherwise.
std::wstring LockProblem(const std::wstring& path) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    DWORD error =
        GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                              &owner, nullptr, &dacl, nullptr, &sd);
    if (error) return L"cannot read the security of " + path + L": " + ErrorText(error);
    std::wstring why;
    if (!owner || !(IsWellKnownSid(owner, WinLocalSystemSid) || IsWellKnownSid(owner, WinBuiltinAdministratorsSid)))
        why = path + L" reads back owned by " + (owner ? SidText(owner) : L"nobody");
    if (why.empty() && !dacl) why = path + L" reads back with no access list (everyone may change it)";
    const DWORD changing = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES | DELETE |
                           FILE_DELETE_CHILD | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
    for (WORD i = 0; why.empty() && dacl && i < dacl->AceCount; ++i) {
        ACE_HEADER* ace = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace)) || ace->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
        auto* allowed = reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace);
        PSID who = &allowed->SidStart;
        if ((allowed->Mask & changing) && !IsWellKnownSid(who, WinLocalSystemSid) &&
            !IsWellKnownSid(who, WinBuiltinAdministratorsSid)) {
            wchar_t mask[16];
            swprintf(mask, 16, L"0x%08lx", static_cast<unsigned long>(allowed->Mask));
            why = path + L" reads back with the rights " + mask + L" for " + SidText(who);
        }
    }
    LocalFree(sd);
    return why;
}

// The folder or one above it is a junction or link: what the installer locks would not be what
// the service and the task run from.
std::wstring ReparsePointOnPath(const std::wstring& folder) {
    for (std::wstring dir = folder; dir.size() > 3; dir = dir.substr(0, dir.find_last_of(L'\\'))) {
        DWORD attributes = GetFileAttributesW(dir.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return dir;
    }
    return L"";
}

bool SafeFolderSyntax(const std::wstring& folder) {
    return folder.size() >= 4 && iswalpha(folder[0]) && folder[1] == L':' && folder[2] == L'\\' &&
           folder.find(L"\\..") == std::wstring::npos;
}

// A folder name that survives a command line and a LocalSystem service unchanged.
bool SafeFolder(const std::wstring& folder, std::wstring& why) {
    if (!SafeFolderSyntax(folder)) {
        why = L"give a full path on a local drive, such as C:\\Program Files\\Orvanta";
        return false;
    }
    if (folder.size() > 180) {
        why = L"the folder's path is longer than 180 characters";
        return false;
    }
    for (wchar_t c : folder) {
        if (c < 32 || wcschr(L"&|<>^%\"!;*?,=`", c)) {
            why = L"the folder's path holds a character that command lines treat specially ('" +
                  std::wstring(1, c < 32 ? L'?' : c) + L"'); choose another folder";
            return false;
        }
    }
    wchar_t windows[MAX_PATH];
    GetWindowsDirectoryW(windows, MAX_PATH);
    std::wstring lower = Lower(folder) + L"\\";
    if (lower.rfind(Lower(windows) + L"\\", 0) == 0) {
        why = L"the folder lies in the Windows folder";
        return false;
    }
    std::wstring link = ReparsePointOnPath(folder);
    if (!link.empty()) {
        why = link + L" is a junction or link; choose a folder reached without one";
        return false;
    }
    // The folder's owner and access list are replaced: only a new folder, or the one the install
    // record names and only administrators own, is taken over. Files lying in a folder prove nothing.
    DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            why = L"a file of that name exists";
            return false;
        }
        if (!IsRecordedFolder(folder)) {
            why =
                L"the folder exists and is not an installation of Orvanta; its owner and access list would be "
                L"replaced, choose a new folder";
            return false;
        }
        PSECURITY_DESCRIPTOR sd = nullptr;
        PSID owner = nullptr;
        DWORD error = GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                                            nullptr, nullptr, &sd);
        bool trusted = !error && owner && (IsTrustedOwner(owner) || IsWineFileOwner(owner));
        if (!trusted) {
            why = error ? L"cannot read the folder's owner: " + ErrorText(error)
                        : L"the folder is owned by " + (owner ? SidText(owner) : std::wstring(L"nobody")) +
                              L", not by SYSTEM, Administrators or TrustedInstaller; anyone owning it may change "
                              L"what runs from it, choose a new folder";
        }
        if (sd) LocalFree(sd);
        if (!trusted) return false;
    }
    return true;
}

bool IsElevated() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    TOKEN_ELEVATION elevation = {};
    DWORD size = 0;
    bool elevated =
        GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) && elevation.TokenIsElevated;
    CloseHandle(token);
    return elevated;
}

// Each copied file is owned by Administrators, as the folder is, so nobody else may rewrite its
// access list.
bool OwnByAdministrators(const std::wstring& path, std::wstring& why) {
    PSID admins = nullptr;
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &admins);
    std::wstring name = path;
    DWORD error =
        SetNamedSecurityInfoW(&name[0], SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, admins, nullptr, nullptr, nullptr);
    FreeSid(admins);
    if (error) why = L"cannot make Administrators the owner of " + path + L": " + ErrorText(error);
    return error == 0;
}

// Every file below the folder made Administrators' and its security read back; the first problem.
bool OwnTree(const std::wstring& dir, std::wstring& problem, std::wstring& why) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((dir + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return true;
    bool ok = true;
    do {
        std::wstring name = found.cFileName, path = dir + L"\\" + name;
        if (name == L"." || name == L".." || name == BACKUP_DIR) continue;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            ok = OwnTree(path, problem, why);
            continue;
        }
        ok = OwnByAdministrators(path, why);
        if (ok && problem.empty()) problem = LockProblem(path);
    } while (ok && FindNextFileW(search, &found));
    FindClose(search);
    return ok;
}

}  // namespace tvxsetup
