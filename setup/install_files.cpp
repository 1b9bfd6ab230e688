// The install steps that make the folder and copy the programs, each with its undo.
#include "tvxsetup.h"

#include <aclapi.h>
#include <sddl.h>

namespace tvxsetup {

// Copies one file, keeping what it replaces in the backup folder. Files in use are scheduled for
// replacement at restart when allowed, otherwise they fail the step.
bool CopyOne(Install& in, const std::wstring& from, const std::wstring& to, const std::wstring& label,
             std::vector<std::wstring>& notes, std::wstring& why) {
    bool existed = Exists(to);
    if (existed && SameContent(from, to)) return true;
    std::wstring oldVersion = existed ? FileVersion(to) : L"";
    std::wstring saved;
    if (existed) {
        CreateDirectoryW(in.backup.c_str(), nullptr);
        saved = in.backup + L"\\" + std::to_wstring(in.undo.size()) + L"-" + to.substr(to.find_last_of(L'\\') + 1);
        if (!CopyFileW(to.c_str(), saved.c_str(), FALSE)) {
            why = L"cannot keep a copy of " + to + L" to undo with: " + ErrorText(GetLastError());
            return false;
        }
    }
    if (!CopyFileW(from.c_str(), to.c_str(), FALSE)) {
        DWORD error = GetLastError();
        if (!existed || !IsInUse(error)) {
            why = L"cannot write " + to + L": " + ErrorText(error);
            return false;
        }
        if (!in.atRestart) {
            why = to + L" is in use and was not replaced (" + ErrorText(error) +
                  L"); close the program using it, or run the install again with --at-restart to replace it when "
                  L"Windows restarts";
            return false;
        }
        std::wstring staged = to + L".new";
        if (!CopyFileW(from.c_str(), staged.c_str(), FALSE) ||
            !MoveFileExW(staged.c_str(), to.c_str(), MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING)) {
            why = L"cannot schedule " + to + L" for replacement at restart: " + ErrorText(GetLastError());
            DeleteFileW(staged.c_str());
            return false;
        }
        in.restart = true;
        in.restartWhy.push_back(label + L" is replaced when Windows restarts (it was in use)");
        notes.push_back(label + L" in use: replaced at restart");
        // Without the staged file the rename at restart finds nothing to do.
        in.undo.push_back({L"cancel the replacement of " + label + L" at restart", [staged](std::wstring& w, bool&) {
                               if (DeleteFileW(staged.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND) return true;
                               w = ErrorText(GetLastError());
                               return false;
                           }});
        return true;
    }
    if (!SameContent(from, to)) {
        why = to + L" does not read back as the file copied";
        return false;
    }
    std::wstring newVersion = FileVersion(to);
    if (existed)
        notes.push_back(L"replaced " + label + L" " + (oldVersion.empty() ? L"(no version)" : oldVersion) + L" with " +
                        (newVersion.empty() ? L"(no version)" : newVersion) +
                        (IsOlder(newVersion, oldVersion) ? L" (an older version)" : L""));
    in.undo.push_back({(existed ? L"put back the earlier " : L"delete ") + label, [to, saved](std::wstring& w, bool&) {
                           // The driver host or a program of ours that has just ended may still hold
                           // the file: sharing and access errors are given 30 s to pass. A driver host
                           // that tried an image whose entry routine failed may keep it mapped until
                           // the host itself ends, which has taken longer than 5 s.
                           for (int tries = 0;; ++tries) {
                               bool ok = saved.empty()
                                             ? (DeleteFileW(to.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND)
                                             : CopyFileW(saved.c_str(), to.c_str(), FALSE) != FALSE;
                               if (ok) return true;
                               DWORD error = GetLastError();
                               if ((!IsInUse(error) && error != ERROR_ACCESS_DENIED) || tries == 300) {
                                   w = ErrorText(error);
                                   return false;
                               }
                               Sleep(100);
                           }
                       }});
    return true;
}

bool MakeFolder(Install& in, const std::wstring& dir, std::wstring& why) {
    if (Exists(dir)) return true;
    std::wstring parent = dir.substr(0, dir.find_last_of(L'\\'));
    if (parent.size() > 2 && !MakeFolder(in, parent, why)) return false;
    // Locked from its first moment: nothing can be planted in it before the access list is set.
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(FOLDER_SECURITY, SDDL_REVISION_1, &sd, nullptr)) {
        why = L"cannot make the folder's security descriptor: " + ErrorText(GetLastError());
        return false;
    }
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, sd, FALSE};
    BOOL made = CreateDirectoryW(dir.c_str(), &attributes);
    DWORD error = GetLastError();
    LocalFree(sd);
    if (!made) {
        why = L"cannot create " + dir + L": " + ErrorText(error);
        return false;
    }
    in.undo.push_back({L"remove the folder " + dir, [dir](std::wstring& w, bool&) {
                           // A program of ours that has just ended can still hold the folder as its
                           // current directory for a moment: a sharing violation is given 5 s to pass.
                           for (int tries = 0;; ++tries) {
                               if (RemoveDirectoryW(dir.c_str())) return true;
                               DWORD error = GetLastError();
                               if (error != ERROR_SHARING_VIOLATION || tries == 50) {
                                   w = ErrorText(error);
                                   return false;
                               }
                               Sleep(100);
                           }
                       }});
    return true;
}

bool CopyTree(Install& in, const std::wstring& from, const std::wstring& to, const std::wstring& label,
              std::vector<std::wstring>& notes, std::wstring& why) {
    if (!MakeFolder(in, to, why)) return false;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((from + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return true;
    bool ok = true;
    do {
        std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            ok = CopyTree(in, from + L"\\" + name, to + L"\\" + name, label + L"\\" + name, notes, why);
        else
            ok = CopyOne(in, from + L"\\" + name, to + L"\\" + name, label + L"\\" + name, notes, why);
    } while (ok && FindNextFileW(search, &found));
    FindClose(search);
    return ok;
}

// Stops an earlier OrvantaService of this folder, whose program is about to be replaced; the
// service step starts the new one.
bool StepStopOldService(Install& in, std::wstring& detail, std::wstring& why) {
    ServiceInfo old = QueryService(SERVICE);
    if (!old.exists || old.state == SERVICE_STOPPED) {
        detail = L"none running";
        return true;
    }
    if (!StopService(SERVICE, why)) return false;
    detail = L"stopped the running OrvantaService";
    in.undo.push_back({L"start OrvantaService again", [](std::wstring& w, bool&) {
                           SC_HANDLE m = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
                           SC_HANDLE s = m ? OpenServiceW(m, SERVICE, SERVICE_START) : nullptr;
                           bool ok =
                               s && (StartServiceW(s, 0, nullptr) || GetLastError() == ERROR_SERVICE_ALREADY_RUNNING);
                           if (!ok) w = ErrorText(GetLastError());
                           if (s) CloseServiceHandle(s);
                           if (m) CloseServiceHandle(m);
                           return ok;
                       }});
    return true;
}

bool StepCopyFiles(Install& in, std::wstring& detail, std::wstring& why) {
    if (SameText(FullPath(in.source), FullPath(in.folder))) {
        detail = L"the files are already in the folder";
        return true;
    }
    std::vector<std::wstring> notes;
    std::vector<std::wstring> files(std::begin(REQUIRED_FILES), std::end(REQUIRED_FILES));
    for (const wchar_t* f : OPTIONAL_FILES)
        if (Exists(in.source + L"\\" + f)) files.push_back(f);
    for (const auto& f : files)
        if (!CopyOne(in, in.source + L"\\" + f, in.folder + L"\\" + f, f, notes, why)) return false;
    if (Exists(in.source + L"\\Revenix") &&
        !CopyTree(in, in.source + L"\\Revenix", in.folder + L"\\Revenix", L"Revenix", notes, why))
        return false;
    std::wstring problem;
    if (!OwnTree(in.folder, problem, why)) return false;
    if (!problem.empty() && !RunsOnWine()) {
        why = problem;
        return false;
    }
    detail = std::to_wstring(files.size()) + L" files into " + in.folder + L", owned by Administrators" +
             (problem.empty() ? L"" : L" (set; not read back: Wine does not keep file owners)");
    for (const auto& n : notes) detail += L"; " + n;
    return true;
}

// The folder made with its security, or the recorded installation's folder given it again: SYSTEM
// and Administrators may change it, users may read and run it, nothing is inherited from above.
// An administrator may give a folder owned by SYSTEM or TrustedInstaller to Administrators only
// with the privilege to restore files, which an elevated token holds but has not turned on.
void EnableRestorePrivilege() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return;
    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (LookupPrivilegeValueW(nullptr, SE_RESTORE_NAME, &privileges.Privileges[0].Luid))
        AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
    CloseHandle(token);
}

bool StepLockFolder(Install& in, std::wstring& detail, std::wstring& why) {
    if (!Exists(in.folder)) {
        if (!MakeFolder(in, in.folder, why)) return false;
    } else {
        EnableRestorePrivilege();
        PSECURITY_DESCRIPTOR before = nullptr, wanted = nullptr;
        PSID oldOwner = nullptr;
        PACL oldDacl = nullptr;
        DWORD error = GetNamedSecurityInfoW(in.folder.c_str(), SE_FILE_OBJECT,
                                            OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &oldOwner, nullptr,
                                            &oldDacl, nullptr, &before);
        if (error) {
            why = L"cannot read the folder's security: " + ErrorText(error);
            return false;
        }
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(FOLDER_SECURITY, SDDL_REVISION_1, &wanted, nullptr)) {
            why = L"cannot make the folder's security descriptor: " + ErrorText(GetLastError());
            LocalFree(before);
            return false;
        }
        PSID owner = nullptr;
        PACL dacl = nullptr;
        BOOL present = FALSE, defaulted = FALSE;
        GetSecurityDescriptorOwner(wanted, &owner, &defaulted);
        GetSecurityDescriptorDacl(wanted, &present, &dacl, &defaulted);
        error = SetNamedSecurityInfoW(
            &in.folder[0], SE_FILE_OBJECT,
            OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, owner,
            nullptr, dacl, nullptr);
        LocalFree(wanted);
        if (error) {
            why = L"cannot set the folder's owner and access list: " + ErrorText(error);
            LocalFree(before);
            return false;
        }
        // The undo puts the earlier owner and list back, protected or inheriting as they were.
        SECURITY_DESCRIPTOR_CONTROL control = 0;
        DWORD revision = 0;
        GetSecurityDescriptorControl(before, &control, &revision);
        std::vector<BYTE> saved(GetSecurityDescriptorLength(before));
        memcpy(saved.data(), before, saved.size());
        LocalFree(before);
        std::wstring folder = in.folder;
        bool wasProtected = (control & SE_DACL_PROTECTED) != 0;
        in.undo.push_back({L"put back the folder's earlier owner and access list",
                           [folder, saved, wasProtected](std::wstring& w, bool&) {
                               BOOL has = FALSE, dflt = FALSE;
                               PACL old = nullptr;
                               PSID who = nullptr;
                               auto sd = const_cast<BYTE*>(saved.data());
                               GetSecurityDescriptorDacl(sd, &has, &old, &dflt);
                               GetSecurityDescriptorOwner(sd, &who, &dflt);
                               std::wstring name = folder;
                               DWORD e =
                                   SetNamedSecurityInfoW(&name[0], SE_FILE_OBJECT,
                                                         OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                                             (wasProtected ? PROTECTED_DACL_SECURITY_INFORMATION
                                                                           : UNPROTECTED_DACL_SECURITY_INFORMATION),
                                                         who, nullptr, has ? old : nullptr, nullptr);
                               if (e) w = ErrorText(e);
                               return e == 0;
                           }});
    }
    std::wstring problem = LockProblem(in.folder);
    // Wine accepts the security but reads back one made from the Unix mode bits: there it is set and
    // said to be unproven, rather than failing every install.
    if (!problem.empty() && RunsOnWine()) {
        detail =
            L"owner Administrators; SYSTEM and Administrators: full control; Users: read and run (set; not read "
            L"back: Wine does not keep file access lists or owners)";
        return true;
    }
    if (!problem.empty()) {
        why = problem;
        return false;
    }
    detail = L"owner Administrators; SYSTEM and Administrators: full control; Users: read and run";
    return true;
}

}  // namespace tvxsetup
