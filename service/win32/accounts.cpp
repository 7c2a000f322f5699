#include "accounts.h"

#include "install.h"
#include "registry.h"
#include "win32_text.h"

#include <sddl.h>

#include <algorithm>
#include <cstdio>

namespace {

// SYSTEM and the Administrators, full control, nothing inherited from the
// settings key, which every user may read.
const wchar_t PROTECTED_ACCESS[] = L"D:P(A;OICI;KA;;;SY)(A;OICI;KA;;;BA)";
// What the commands do with a protected key: its values and its access.
const REGSAM PROTECTED_KEY_RIGHTS = KEY_QUERY_VALUE | KEY_SET_VALUE | READ_CONTROL | WRITE_DAC;

// A key below the settings key that SYSTEM and the Administrators alone may reach.
struct ProtectedKey {
    const wchar_t* Name;  // below the settings key
    const wchar_t* Path;  // below HKLM
    const char* Text;     // for messages
};
const ProtectedKey USERS = {L"Users", USERS_KEY, USERS_KEY_NAME};
const ProtectedKey SECONDARY = {L"Secondary", SECONDARY_KEY, SECONDARY_KEY_NAME};
// Rights that let a holder read or change the accounts, or give itself that right.
const ACCESS_MASK ACCOUNT_RIGHTS = KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_SET_VALUE | KEY_CREATE_SUB_KEY |
                                   DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_READ | GENERIC_WRITE | GENERIC_ALL;
const char ROLE_PRIMARY[] = "primary";
const char ROLE_SECONDARY[] = "secondary";
// An account's value: the role, the password, their NULs.
const DWORD MAX_ACCOUNT_VALUE_BYTES = 2048;

}  // namespace

bool IsAccountName(const std::string& name)
{
    if (name.empty() || name.size() > MAX_ACCOUNT_NAME_BYTES) {
        return false;
    }
    for (char c : name) {
        if (c < 0x21 || c > 0x7E) {
            return false;
        }
    }
    return true;
}

bool IsAccountPassword(const std::string& password)
{
    if (password.empty() || password.size() > MAX_ACCOUNT_PASSWORD_BYTES) {
        return false;
    }
    std::wstring wide = Wide(password);
    // Invalid UTF-8 does not come back the same.
    if (Utf8(wide) != password) {
        return false;
    }
    for (wchar_t c : wide) {
        if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) {
            return false;
        }
    }
    return true;
}

namespace {

// The key's access, as a self-relative security descriptor.
bool KeySecurity(HKEY key, std::string* descriptor)
{
    DWORD size = 0;
    if (RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, NULL, &size) != ERROR_INSUFFICIENT_BUFFER || size == 0) {
        return false;
    }
    descriptor->assign(size, '\0');
    return RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, &(*descriptor)[0], &size) == ERROR_SUCCESS;
}

// One value as an account; false with *why.
bool ParseAccount(const std::wstring& name, DWORD type, const BYTE* data, DWORD size, NetworkAccount* account,
                  std::string* why)
{
    if (type != REG_MULTI_SZ) {
        *why = "not a REG_MULTI_SZ of a role and a password";
        return false;
    }
    std::wstring text(reinterpret_cast<const wchar_t*>(data), size / sizeof(wchar_t));
    std::vector<std::string> parts;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find(L'\0', start);
        end = end == std::wstring::npos ? text.size() : end;
        if (end > start) {
            parts.push_back(Utf8(text.substr(start, end - start)));
        } else {
            break;  // the list's end
        }
        start = end + 1;
    }
    account->Name = Utf8(name);
    if (!IsAccountName(account->Name)) {
        *why = "not an account name (1 to 64 printable ASCII characters without spaces)";
    } else if (parts.size() != 2 || (parts[0] != ROLE_PRIMARY && parts[0] != ROLE_SECONDARY)) {
        *why = "not a REG_MULTI_SZ of a role (primary or secondary) and a password";
    } else if (!IsAccountPassword(parts[1])) {
        *why = "its password is not one line of UTF-8 without control characters";
    } else {
        account->Primary = parts[0] == ROLE_PRIMARY;
        account->Password = parts[1];
        return true;
    }
    return false;
}

int Fail(const std::string& what)
{
    std::fprintf(stderr, "korvoups-service: %s\n", what.c_str());
    return ADMIN_FAILED;
}

// The key with the rights the commands need, made when create is set (its
// parent, the settings key, as every user may read it). Its access is set
// when it is made, before anything is written to it, and mended when it is
// open to others. ERROR_FILE_NOT_FOUND: absent.
LONG OpenProtectedKey(const ProtectedKey& which, bool create, HKEY* key)
{
    LONG status = ERROR_SUCCESS;
    DWORD disposition = REG_OPENED_EXISTING_KEY;
    if (create) {
        HKEY settings = NULL;
        status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, SETTINGS_KEY, 0, NULL, 0, KEY_CREATE_SUB_KEY, NULL, &settings, NULL);
        if (status == ERROR_SUCCESS) {
            status = RegCreateKeyExW(settings, which.Name, 0, NULL, 0, PROTECTED_KEY_RIGHTS, NULL, key, &disposition);
            RegCloseKey(settings);
        }
    } else {
        status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, which.Path, 0, PROTECTED_KEY_RIGHTS, key);
    }
    if (status != ERROR_SUCCESS) {
        return status;
    }
    std::string descriptor;
    bool open = !KeySecurity(*key, &descriptor) || OpenToOthers(&descriptor[0]);
    if (disposition == REG_CREATED_NEW_KEY || open) {
        // Set after the key is made, not as it is made: Wine ignores the
        // access given to RegCreateKeyExW. The new key holds nothing yet.
        PSECURITY_DESCRIPTOR access = NULL;
        status = ConvertStringSecurityDescriptorToSecurityDescriptorW(PROTECTED_ACCESS, SDDL_REVISION_1, &access, NULL)
                     ? RegSetKeySecurity(*key, DACL_SECURITY_INFORMATION, access)
                     : static_cast<LONG>(GetLastError());
        LocalFree(access);
        if (status != ERROR_SUCCESS) {
            RegCloseKey(*key);
        } else if (open && disposition != REG_CREATED_NEW_KEY) {
            std::fprintf(stderr, "korvoups-service: %s was open to others: now SYSTEM and Administrators alone have access\n",
                         which.Text);
        }
    }
    return status;
}

// One line typed at the console, without echo; *ended when its end came.
std::string TypedLine(HANDLE input, DWORD mode, const std::string& prompt, bool* ended)
{
    std::fprintf(stderr, "%s", prompt.c_str());
    std::fflush(stderr);
    SetConsoleMode(input, (mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT)) | ENABLE_LINE_INPUT | ENABLE_PROCESSED_INPUT);
    std::wstring typed;
    wchar_t chunk[128];
    DWORD got = 0;
    *ended = false;
    while (!*ended && typed.size() <= MAX_ACCOUNT_PASSWORD_BYTES && ReadConsoleW(input, chunk, 128, &got, NULL) &&
           got > 0) {
        typed.append(chunk, got);
        *ended = typed.find(L'\n') != std::wstring::npos;
    }
    SetConsoleMode(input, mode);
    std::fprintf(stderr, "\n");
    return Utf8(typed.substr(0, typed.find(L'\n')));
}

}  // namespace

bool ReadPassword(const std::string& name, const std::string& command, std::string* password, std::string* error)
{
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    bool console = input != NULL && input != INVALID_HANDLE_VALUE && GetConsoleMode(input, &mode);
    std::string text;
    bool ended = false;  // the line's end came
    if (console) {
        text = TypedLine(input, mode, "Password for " + name + ": ", &ended);
    } else {
        char chunk[128];
        DWORD got = 0;
        while (!ended && text.size() <= MAX_ACCOUNT_PASSWORD_BYTES + 1 &&
               ReadFile(input, chunk, sizeof chunk, &got, NULL) && got > 0) {
            text.append(chunk, got);
            ended = text.find('\n') != std::string::npos;
        }
        text = text.substr(0, text.find('\n'));
        ended = ended || !text.empty();
    }
    if (!text.empty() && text.back() == '\r') {
        text.pop_back();
    }
    if (!ended && text.empty()) {
        *error = "no password on standard input (one line, e.g. echo PASSWORD| " + command + ")";
        return false;
    }
    if (!ended || !IsAccountPassword(text)) {
        *error = "a password is one line of 1 to " + std::to_string(MAX_ACCOUNT_PASSWORD_BYTES) +
                 " bytes of UTF-8 without control characters (such as a tab)";
        return false;
    }
    if (console) {
        std::string again = TypedLine(input, mode, "The same again: ", &ended);
        if (again != text) {
            *error = "the two passwords typed differ";
            return false;
        }
    }
    *password = text;
    return true;
}

bool StoreSecondaryAccount(const std::string& user, const std::string& password, std::string* error)
{
    HKEY key = NULL;
    LONG status = OpenProtectedKey(SECONDARY, true, &key);
    const char* value = "User";
    if (status == ERROR_SUCCESS) {
        std::wstring wideUser = Wide(user), widePassword = Wide(password);
        status = RegSetValueExW(key, L"User", 0, REG_SZ, reinterpret_cast<const BYTE*>(wideUser.c_str()),
                                static_cast<DWORD>((wideUser.size() + 1) * sizeof(wchar_t)));
        if (status == ERROR_SUCCESS) {
            value = "Password";
            status = RegSetValueExW(key, L"Password", 0, REG_SZ, reinterpret_cast<const BYTE*>(widePassword.c_str()),
                                    static_cast<DWORD>((widePassword.size() + 1) * sizeof(wchar_t)));
        }
        RegCloseKey(key);
    }
    if (status != ERROR_SUCCESS) {
        *error = std::string(SECONDARY_KEY_NAME) + "\\" + value + ": " + ErrorText(static_cast<DWORD>(status));
    }
    return status == ERROR_SUCCESS;
}

namespace {

int AddUser(const std::string& name, const std::string& role)
{
    std::string password, error;
    if (!ReadPassword(name, "korvoups-service user add ...", &password, &error)) {
        return Fail(error);
    }
    HKEY key = NULL;
    LONG status = OpenProtectedKey(USERS, true, &key);
    if (status != ERROR_SUCCESS) {
        return Fail(std::string(USERS_KEY_NAME) + ": " + ErrorText(static_cast<DWORD>(status)));
    }
    std::wstring wideName = Wide(name);
    bool existed = RegQueryValueExW(key, wideName.c_str(), NULL, NULL, NULL, NULL) == ERROR_SUCCESS;
    std::wstring value = Wide(role) + L'\0' + Wide(password) + L'\0' + L'\0';
    // Value names ignore case: a name that differs only in case is replaced, and takes the new spelling.
    RegDeleteValueW(key, wideName.c_str());
    status = RegSetValueExW(key, wideName.c_str(), 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(value.data()),
                            static_cast<DWORD>(value.size() * sizeof(wchar_t)));
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) {
        return Fail(std::string(USERS_KEY_NAME) + "\\" + name + ": " + ErrorText(static_cast<DWORD>(status)) +
                    (existed ? " (the old account is gone: add it again)" : ""));
    }
    std::printf("Account %s (%s) %s; the service takes it at its next start.\n", name.c_str(), role.c_str(),
                existed ? "replaced" : "added");
    return ADMIN_DONE;
}

int RemoveUser(const std::string& name)
{
    HKEY key = NULL;
    LONG status = OpenProtectedKey(USERS, false, &key);
    if (status == ERROR_SUCCESS) {
        status = RegDeleteValueW(key, Wide(name).c_str());
        RegCloseKey(key);
    }
    if (status == ERROR_FILE_NOT_FOUND) {
        return Fail("no account " + name);
    }
    if (status != ERROR_SUCCESS) {
        return Fail(std::string(USERS_KEY_NAME) + "\\" + name + ": " + ErrorText(static_cast<DWORD>(status)));
    }
    std::printf("Account %s removed; the service forgets it at its next start.\n", name.c_str());
    return ADMIN_DONE;
}

int ListUsers()
{
    HKEY key = NULL;
    LONG status = OpenProtectedKey(USERS, false, &key);
    if (status == ERROR_SUCCESS) {
        RegCloseKey(key);
    } else if (status != ERROR_FILE_NOT_FOUND) {
        return Fail(std::string(USERS_KEY_NAME) + ": " + ErrorText(static_cast<DWORD>(status)));
    }
    LoadedAccounts loaded = LoadAccounts();
    std::sort(loaded.Accounts.begin(), loaded.Accounts.end(),
              [](const NetworkAccount& a, const NetworkAccount& b) { return a.Name < b.Name; });
    for (const NetworkAccount& account : loaded.Accounts) {
        std::printf("%s %s\n", account.Name.c_str(), account.Primary ? ROLE_PRIMARY : ROLE_SECONDARY);
    }
    for (const std::string& problem : loaded.Problems) {
        std::fprintf(stderr, "korvoups-service: skipped %s\n", problem.c_str());
    }
    if (loaded.Accounts.empty()) {
        std::fprintf(stderr, "korvoups-service: no accounts under %s\n", USERS_KEY_NAME);
    }
    return loaded.Problems.empty() ? ADMIN_DONE : ADMIN_FAILED;
}

int UserUsage(const std::string& why)
{
    std::fprintf(stderr,
                 "korvoups-service: %s\n"
                 "usage: korvoups-service user add NAME primary|secondary   (the password on standard input)\n"
                 "                        user remove NAME | user list\n",
                 why.c_str());
    return ADMIN_FAILED;
}

}  // namespace

bool OpenToOthers(PSECURITY_DESCRIPTOR descriptor)
{
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = NULL;
    if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present || dacl == NULL) {
        return true;  // no DACL: everyone may do anything
    }
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* entry = NULL;
        if (!GetAce(dacl, i, &entry)) {
            return true;
        }
        const ACE_HEADER* header = static_cast<const ACE_HEADER*>(entry);
        if ((header->AceFlags & INHERIT_ONLY_ACE) != 0 || header->AceType == ACCESS_DENIED_ACE_TYPE) {
            continue;  // for the keys below, or a refusal
        }
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) {
            return true;
        }
        const ACCESS_ALLOWED_ACE* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
        PSID who = const_cast<DWORD*>(&allowed->SidStart);
        if ((allowed->Mask & ACCOUNT_RIGHTS) != 0 && !IsWellKnownSid(who, WinLocalSystemSid) &&
            !IsWellKnownSid(who, WinBuiltinAdministratorsSid)) {
            return true;
        }
    }
    return false;
}

LoadedAccounts LoadAccounts()
{
    LoadedAccounts loaded;
    HKEY key = NULL;
    LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, USERS_KEY, 0, KEY_QUERY_VALUE | READ_CONTROL, &key);
    if (status == ERROR_FILE_NOT_FOUND) {
        return loaded;
    }
    if (status != ERROR_SUCCESS) {
        loaded.Problems.push_back(std::string(USERS_KEY_NAME) + ": " + ErrorText(static_cast<DWORD>(status)));
        return loaded;
    }
    std::string descriptor;
    loaded.OpenToOthers = !KeySecurity(key, &descriptor) || OpenToOthers(&descriptor[0]);
    for (DWORD index = 0;; ++index) {
        wchar_t name[MAX_ACCOUNT_NAME_BYTES + 1];
        DWORD nameLength = sizeof name / sizeof name[0];
        BYTE data[MAX_ACCOUNT_VALUE_BYTES];
        DWORD size = sizeof data;
        DWORD type = 0;
        status = RegEnumValueW(key, index, name, &nameLength, NULL, &type, data, &size);
        if (status == ERROR_NO_MORE_ITEMS) {
            break;
        }
        if (status == ERROR_MORE_DATA) {
            loaded.Problems.push_back(std::string(USERS_KEY_NAME) + ": a value whose name or data is too long for an account");
            continue;
        }
        if (status != ERROR_SUCCESS) {
            loaded.Problems.push_back(std::string(USERS_KEY_NAME) + ": " + ErrorText(static_cast<DWORD>(status)));
            break;
        }
        NetworkAccount account;
        std::string why;
        if (ParseAccount(std::wstring(name, nameLength), type, data, size, &account, &why)) {
            loaded.Accounts.push_back(account);
        } else {
            loaded.Problems.push_back(std::string(USERS_KEY_NAME) + "\\" + Utf8(std::wstring(name, nameLength)) + ": " + why);
        }
    }
    RegCloseKey(key);
    return loaded;
}

SecondaryAccount LoadSecondaryAccount()
{
    SecondaryAccount account;
    const std::string key = SECONDARY_KEY_NAME;
    const std::string keepOne = " (korvoups-service install --ups NAME@HOST --user NAME keeps one there)";
    HKEY handle = NULL;
    LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, SECONDARY_KEY, 0, KEY_QUERY_VALUE | READ_CONTROL, &handle);
    if (status != ERROR_SUCCESS) {
        account.Problem = status == ERROR_FILE_NOT_FOUND ? "no account to log in with under " + key + keepOne
                                                         : key + ": " + ErrorText(static_cast<DWORD>(status));
        return account;
    }
    std::string descriptor;
    bool open = !KeySecurity(handle, &descriptor) || OpenToOthers(&descriptor[0]);
    RegCloseKey(handle);
    if (open) {
        account.Problem = key + " is open to others than SYSTEM and Administrators: its password is not sent" + keepOne;
        return account;
    }
    std::string user = ReadText(SECONDARY_KEY, "User"), password = ReadText(SECONDARY_KEY, "Password");
    if (!IsAccountName(user)) {
        account.Problem = key + "\\User: not a REG_SZ of an account name (1 to 64 printable ASCII characters without "
                                "spaces)" + keepOne;
    } else if (!IsAccountPassword(password)) {
        account.Problem = key + "\\Password: not a REG_SZ of one line of UTF-8 without control characters" + keepOne;
    } else {
        account.User = user;
        account.Password = password;
    }
    return account;
}

int UserCommand(const std::vector<std::string>& words)
{
    std::string command = words.empty() ? std::string() : words[0];
    if (!((command == "add" && words.size() == 3) || (command == "remove" && words.size() == 2) ||
          (command == "list" && words.size() == 1))) {
        return UserUsage("user takes add NAME primary|secondary, remove NAME, or list");
    }
    if (command != "list" && !IsAccountName(words[1])) {
        return UserUsage("an account name is 1 to " + std::to_string(MAX_ACCOUNT_NAME_BYTES) +
                         " printable ASCII characters without spaces: \"" + words[1] + "\" is not");
    }
    if (command == "add" && words[2] != ROLE_PRIMARY && words[2] != ROLE_SECONDARY) {
        return UserUsage("the role is primary or secondary, not \"" + words[2] + "\"");
    }
    if (!IsAdministrator()) {
        std::fprintf(stderr, "korvoups-service: run this as an administrator (an elevated command prompt)\n");
        return ADMIN_NOT_ADMINISTRATOR;
    }
    return command == "add" ? AddUser(words[1], words[2]) : command == "remove" ? RemoveUser(words[1]) : ListUsers();
}
