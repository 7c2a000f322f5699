// The network server's accounts under Wine: the judgement of a key's access,
// the `user` commands in-process (standard input a pipe of the test's), the
// key's access as they leave it and mend it, what the service loads, and the
// program's own `user` command as a child process. Run by scripts/wine-run.sh
// in a throwaway prefix (it writes HKLM\SOFTWARE\KorvoUPS).
#include "accounts.h"
#include "registry.h"
#include "win32_text.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <sddl.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const DWORD GENEROUS_MS = 60000;

// A security descriptor written in SDDL, freed with it.
class Descriptor {
public:
    explicit Descriptor(const wchar_t* sddl)
    {
        EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &Bytes, NULL))
            << Utf8(sddl);
    }
    ~Descriptor() { LocalFree(Bytes); }
    PSECURITY_DESCRIPTOR Bytes = NULL;
};

// A key's access now (the Users key's by default).
std::string KeySecurity(const wchar_t* path = USERS_KEY)
{
    HKEY key = NULL;
    std::string descriptor;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, READ_CONTROL, &key) != ERROR_SUCCESS) {
        return descriptor;
    }
    DWORD size = 0;
    RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, NULL, &size);
    descriptor.assign(size, '\0');
    if (size == 0 || RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, &descriptor[0], &size) != ERROR_SUCCESS) {
        descriptor.clear();
    }
    RegCloseKey(key);
    return descriptor;
}

// A key's access in SDDL; empty when it cannot be read.
std::string KeySddl(const wchar_t* path)
{
    std::string security = KeySecurity(path);
    wchar_t* sddl = NULL;
    if (security.empty() || !ConvertSecurityDescriptorToStringSecurityDescriptorW(&security[0], SDDL_REVISION_1,
                                                                                  DACL_SECURITY_INFORMATION, &sddl, NULL)) {
        return std::string();
    }
    std::string text = Utf8(sddl);
    LocalFree(sddl);
    return text;
}

void SetUsersKeySecurity(const wchar_t* sddl, const wchar_t* path = USERS_KEY)
{
    Descriptor access(sddl);
    HKEY key = NULL;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, WRITE_DAC, &key), ERROR_SUCCESS);
    EXPECT_EQ(RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, access.Bytes), ERROR_SUCCESS);
    RegCloseKey(key);
}

// UserCommand(words) with input as its standard input.
int UserWithInput(const std::vector<std::string>& words, const std::string& input)
{
    HANDLE reading = NULL, writing = NULL;
    EXPECT_TRUE(CreatePipe(&reading, &writing, NULL, 0));
    DWORD written = 0;
    EXPECT_TRUE(input.empty() || WriteFile(writing, input.data(), static_cast<DWORD>(input.size()), &written, NULL));
    CloseHandle(writing);
    HANDLE before = GetStdHandle(STD_INPUT_HANDLE);
    SetStdHandle(STD_INPUT_HANDLE, reading);
    int code = UserCommand(words);
    SetStdHandle(STD_INPUT_HANDLE, before);
    CloseHandle(reading);
    return code;
}

// "name role password" of each account the service would load.
std::vector<std::string> Loaded()
{
    std::vector<std::string> accounts;
    for (const NetworkAccount& account : LoadAccounts().Accounts) {
        accounts.push_back(account.Name + (account.Primary ? " primary " : " secondary ") + account.Password);
    }
    return accounts;
}

// korvoups-service.exe ARGUMENTS with input on its standard input: its exit
// code and standard output.
int RunProgram(const std::string& arguments, const std::string& input, std::string* output)
{
    const char* unixPath = std::getenv("KORVO_SERVICE_EXE");
    std::string program = "Z:" + std::string(unixPath != nullptr ? unixPath : "");
    for (char& c : program) {
        c = c == '/' ? '\\' : c;
    }
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, NULL, TRUE};
    HANDLE inRead = NULL, inWrite = NULL, outRead = NULL, outWrite = NULL;
    EXPECT_TRUE(CreatePipe(&inRead, &inWrite, &inherited, 0) && CreatePipe(&outRead, &outWrite, &inherited, 0));
    SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inRead;
    startup.hStdOutput = outWrite;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    std::wstring commandLine = Wide("\"" + program + "\" " + arguments);
    PROCESS_INFORMATION process;
    bool started = CreateProcessW(NULL, &commandLine[0], NULL, NULL, TRUE, 0, NULL, NULL, &startup, &process) != 0;
    EXPECT_TRUE(started) << program << ": " << ErrorText(GetLastError());
    CloseHandle(inRead);
    CloseHandle(outWrite);
    DWORD written = 0;
    WriteFile(inWrite, input.data(), static_cast<DWORD>(input.size()), &written, NULL);
    CloseHandle(inWrite);
    char chunk[512];
    DWORD got = 0;
    while (ReadFile(outRead, chunk, sizeof chunk, &got, NULL) && got > 0) {
        output->append(chunk, got);
    }
    CloseHandle(outRead);
    DWORD code = 255;
    if (started) {
        EXPECT_EQ(WaitForSingleObject(process.hProcess, GENEROUS_MS), WAIT_OBJECT_0);
        GetExitCodeProcess(process.hProcess, &code);
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
    }
    return static_cast<int>(code);
}

TEST(Accounts, TheKeysAccessIsJudged)
{
    const struct {
        const wchar_t* sddl;
        bool open;
    } rows[] = {
        {L"D:P(A;OICI;KA;;;SY)(A;OICI;KA;;;BA)", false},  // what the commands set
        {L"D:(A;;KA;;;SY)(A;;KA;;;BA)", false},
        {L"D:", false},                                    // nobody at all
        {L"D:(A;;KA;;;SY)(A;;KA;;;BA)(A;;KR;;;BU)", true},  // the settings key's users' read
        {L"D:(A;;KA;;;SY)(A;;GR;;;WD)", true},             // everyone, generic read
        {L"D:(A;;KA;;;SY)(A;;0x1;;;AU)", true},            // query values
        {L"D:(A;;KA;;;SY)(A;;KW;;;BU)", true},             // write: an account of one's own
        {L"D:(A;;KA;;;SY)(A;;WD;;;BU)", true},             // may give itself the rest
        {L"D:(A;;KA;;;SY)(A;;WO;;;BU)", true},
        {L"D:(A;;KA;;;SY)(A;;KA;;;S-1-5-21-1-2-3-1001)", true},  // one user
        {L"D:(A;;KA;;;SY)(A;;KA;;;LS)", true},             // another service's account
        {L"D:(A;;KA;;;SY)(A;;RC;;;BU)", false},            // reads the access, not the accounts
        {L"D:(A;;KA;;;SY)(A;CIIO;KR;;;BU)", false},        // for the keys below alone
        {L"D:(A;;KA;;;SY)(D;;KA;;;BU)", false},            // a refusal
        {L"D:(A;;KA;;;SY)(D;;KA;;;BU)(A;;KR;;;BU)", true},  // cautious: an allowance after a refusal counts
    };
    for (const auto& row : rows) {
        Descriptor descriptor(row.sddl);
        ASSERT_NE(descriptor.Bytes, nullptr);
        EXPECT_EQ(OpenToOthers(descriptor.Bytes), row.open) << Utf8(row.sddl);
    }
    // No DACL at all: everyone may do anything (made by hand: Wine reads
    // "D:NO_ACCESS_CONTROL" as an empty DACL, which lets nobody in).
    SECURITY_DESCRIPTOR noDacl;
    ASSERT_TRUE(InitializeSecurityDescriptor(&noDacl, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&noDacl, TRUE, NULL, FALSE));
    EXPECT_TRUE(OpenToOthers(&noDacl));
}

TEST(Accounts, CommandsKeepAccountsInAKeyClosedToOthers)
{
    DeleteTree(SETTINGS_KEY);
    std::string maxPassword(MAX_ACCOUNT_PASSWORD_BYTES, 'x');
    std::string maxName(MAX_ACCOUNT_NAME_BYTES, 'n');
    const struct {
        std::vector<std::string> words;
        std::string input;
        int exit;
    } rows[] = {
        {{"list"}, "", 0},  // no key yet: nothing, and no key made
        {{"remove", "monuser"}, "", 2},
        {{"add", "monuser", "secondary"}, "secret\n", 0},
        {{"add", "admin", "primary"}, "top secret\r\n", 0},
        {{"add", "nas", "secondary"}, "no line end", 0},
        {{"add", "Nas", "primary"}, "replaced\n", 0},  // names ignore case in the registry: replaced
        {{"add", maxName, "secondary"}, maxPassword, 0},
        {{"add", "utf8", "secondary"}, "p\xC3\xA4ss w\xC3\xB6rd\n", 0},
        {{"add", "gone", "secondary"}, "x\n", 0},
        {{"remove", "gone"}, "", 0},
        {{"remove", "gone"}, "", 2},
        {{"add", "long", "secondary"}, maxPassword + "x\n", 2},
        {{"add", maxName + "n", "secondary"}, "x\n", 2},
        {{"add", "two words", "secondary"}, "x\n", 2},
        {{"add", "tab", "secondary"}, "a\tb\n", 2},
        {{"add", "c1", "secondary"}, "a\xC2\x85" "b\n", 2},
        {{"add", "latin1", "secondary"}, "p\xE4ss\n", 2},  // not UTF-8
        {{"add", "empty", "secondary"}, "", 2},
        {{"add", "blank", "secondary"}, "\n", 2},
        {{"add", "role", "admin"}, "x\n", 2},
        {{"add", "role", "Primary"}, "x\n", 2},
        {{"add", "short"}, "x\n", 2},
        {{"list", "all"}, "", 2},
        {{"delete", "monuser"}, "", 2},
        {{}, "", 2},
    };
    for (const auto& row : rows) {
        std::string words;
        for (const std::string& word : row.words) {
            words += word + " ";
        }
        EXPECT_EQ(UserWithInput(row.words, row.input), row.exit) << words;
        if (words == "list ") {
            HKEY key = NULL;
            EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, USERS_KEY, 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
        }
    }
    std::vector<std::string> expected = {"monuser secondary secret", "admin primary top secret",
                                         "Nas primary replaced", maxName + " secondary " + maxPassword,
                                         "utf8 secondary p\xC3\xA4ss w\xC3\xB6rd"};
    std::vector<std::string> loaded = Loaded();
    std::sort(loaded.begin(), loaded.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(loaded, expected);
    LoadedAccounts accounts = LoadAccounts();
    EXPECT_FALSE(accounts.OpenToOthers);
    EXPECT_TRUE(accounts.Problems.empty());

    // The key as made: SYSTEM and the Administrators alone, nothing inherited.
    std::string security = KeySecurity();
    ASSERT_FALSE(security.empty());
    EXPECT_FALSE(OpenToOthers(&security[0]));
    EXPECT_EQ(KeySddl(USERS_KEY), "D:P(A;OICI;KA;;;SY)(A;OICI;KA;;;BA)");
}

TEST(Accounts, AKeyOpenToOthersIsReportedThenMended)
{
    DeleteTree(SETTINGS_KEY);
    ASSERT_EQ(UserWithInput({"add", "monuser", "secondary"}, "secret\n"), 0);
    SetUsersKeySecurity(L"D:(A;;KA;;;SY)(A;;KA;;;BA)(A;;KR;;;BU)");
    EXPECT_TRUE(LoadAccounts().OpenToOthers);  // the service would serve no logins
    EXPECT_EQ(UserWithInput({"list"}, ""), 0);
    EXPECT_FALSE(LoadAccounts().OpenToOthers);
    SetUsersKeySecurity(L"D:(A;;KA;;;WD)");
    EXPECT_TRUE(LoadAccounts().OpenToOthers);
    EXPECT_EQ(UserWithInput({"remove", "monuser"}, ""), 0);
    EXPECT_FALSE(LoadAccounts().OpenToOthers);
}

TEST(Accounts, ValuesThatAreNotAccountsAreSkippedAndNamed)
{
    DeleteTree(SETTINGS_KEY);
    ASSERT_EQ(UserWithInput({"add", "monuser", "secondary"}, "secret\n"), 0);
    std::string error;
    ASSERT_TRUE(WriteText(USERS_KEY, "plain", REG_SZ, "secret", &error)) << error;
    std::wstring badRole = std::wstring(L"admin") + L'\0' + L"secret" + L'\0' + L'\0';
    ASSERT_TRUE(WriteValue(USERS_KEY, "role", REG_MULTI_SZ, badRole.data(),
                           static_cast<DWORD>(badRole.size() * sizeof(wchar_t)), &error)) << error;
    std::wstring alone = std::wstring(L"primary") + L'\0' + L'\0';
    ASSERT_TRUE(WriteValue(USERS_KEY, "alone", REG_MULTI_SZ, alone.data(),
                           static_cast<DWORD>(alone.size() * sizeof(wchar_t)), &error)) << error;
    LoadedAccounts loaded = LoadAccounts();
    ASSERT_EQ(loaded.Accounts.size(), 1u);
    EXPECT_EQ(loaded.Accounts[0].Name, "monuser");
    std::string problems;
    for (const std::string& problem : loaded.Problems) {
        problems += problem + "\n";
    }
    EXPECT_EQ(loaded.Problems.size(), 3u) << problems;
    EXPECT_NE(problems.find("HKLM\\SOFTWARE\\KorvoUPS\\Users\\plain: not a REG_MULTI_SZ of a role and a password"),
              std::string::npos) << problems;
    EXPECT_NE(problems.find("Users\\role: not a REG_MULTI_SZ of a role (primary or secondary) and a password"),
              std::string::npos) << problems;
    EXPECT_NE(problems.find("Users\\alone: not a REG_MULTI_SZ"), std::string::npos) << problems;
    EXPECT_EQ(UserWithInput({"list"}, ""), 2);  // lists the account, names the rest, and says so
}

// The account the service logs in with as a secondary: one row per state of
// its key, with what is loaded or the problem named.
TEST(Accounts, TheSecondarysAccountIsUsedOnlyFromAClosedKeyAndWhole)
{
    struct {
        const char* name;
        const char* user;      // nullptr: not written
        const char* password;  // nullptr: not written
        const wchar_t* sddl;   // nullptr: as the key is made
        const char* loadedUser;
        const char* problem;   // found in the problem
    } rows[] = {
        {"no key", nullptr, nullptr, nullptr, "", "no account to log in with under HKLM\\SOFTWARE\\KorvoUPS\\Secondary"},
        {"a whole account", "monuser", "top secret", L"D:P(A;;KA;;;SY)(A;;KA;;;BA)", "monuser", ""},
        {"its key readable by users", "monuser", "secret", L"D:(A;;KA;;;SY)(A;;KA;;;BA)(A;;KR;;;BU)", "",
         "Secondary is open to others than SYSTEM and Administrators: its password is not sent"},
        {"no password", "monuser", nullptr, L"D:P(A;;KA;;;SY)(A;;KA;;;BA)", "",
         "Secondary\\Password: not a REG_SZ"},
        {"a name with a blank", "mon user", "secret", L"D:P(A;;KA;;;SY)(A;;KA;;;BA)", "",
         "Secondary\\User: not a REG_SZ of an account name"},
        {"a password over two lines", "monuser", "sec\nret", L"D:P(A;;KA;;;SY)(A;;KA;;;BA)", "",
         "Secondary\\Password: not a REG_SZ"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        DeleteTree(SETTINGS_KEY);
        std::string error;
        if (row.user != nullptr) {
            ASSERT_TRUE(WriteText(SECONDARY_KEY, "User", REG_SZ, row.user, &error)) << error;
        }
        if (row.password != nullptr) {
            ASSERT_TRUE(WriteText(SECONDARY_KEY, "Password", REG_SZ, row.password, &error)) << error;
        }
        if (row.sddl != nullptr) {
            Descriptor access(row.sddl);
            HKEY key = NULL;
            ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, SECONDARY_KEY, 0, WRITE_DAC, &key), ERROR_SUCCESS);
            EXPECT_EQ(RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, access.Bytes), ERROR_SUCCESS);
            RegCloseKey(key);
        }
        SecondaryAccount account = LoadSecondaryAccount();
        EXPECT_EQ(account.User, row.loadedUser);
        EXPECT_EQ(account.Password, *row.loadedUser == '\0' ? "" : row.password);
        if (*row.problem == '\0') {
            EXPECT_EQ(account.Problem, "");
        } else {
            EXPECT_NE(account.Problem.find(row.problem), std::string::npos) << account.Problem;
        }
    }
    DeleteTree(SETTINGS_KEY);
}

// install --ups: the service registered, Ups set and the account in a key
// closed to others (judged as the service judges it); each refusal, one row,
// changes nothing; install COMn then uses the port; uninstall removes it all.
TEST(Accounts, InstallUpsKeepsTheAccountInAClosedKey)
{
    DeleteTree(SETTINGS_KEY);
    const struct {
        const char* arguments;
        const char* input;
        int exit;
    } refusals[] = {
        {"install --ups ups@ --user monuser", "secret\n", 2},               // no host
        {"install --ups \"ups@nas x\" --user monuser", "secret\n", 2},      // a blank
        {"install --ups ups@nas:0 --user monuser", "secret\n", 2},          // no port 0
        {"install --ups ups@nas", "secret\n", 2},                           // no account
        {"install --ups ups@nas --user monuser --turnoff 1", "secret\n", 2},
        {"install --ups ups@nas --user \"mon user\"", "secret\n", 2},
        {"install --ups ups@nas --user monuser --user other", "secret\n", 2},
        {"install --ups ups@nas --user monuser", "", 2},                     // no password
        {"install --ups ups@nas --user monuser", "a\tb\n", 2},
        {"install --ups ups@nas --user monuser --password \"\"", "", 2},
    };
    for (const auto& row : refusals) {
        std::string output;
        EXPECT_EQ(RunProgram(row.arguments, row.input, &output), row.exit) << row.arguments;
        EXPECT_EQ(ReadText(SETTINGS_KEY, "Ups"), "") << row.arguments;
        EXPECT_NE(LoadSecondaryAccount().Problem, "") << row.arguments;
    }

    std::string output;
    ASSERT_EQ(RunProgram("install --ups ups@[::1]:3494 --user monuser", "top secret\r\n", &output), 0);
    EXPECT_NE(output.find("\" following ups@[::1]:3494 as monuser, started with Windows.\n"), std::string::npos)
        << output;
    EXPECT_EQ(ReadText(SETTINGS_KEY, "Ups"), "ups@[::1]:3494");
    SecondaryAccount account = LoadSecondaryAccount();
    EXPECT_EQ(account.Problem, "");
    EXPECT_EQ(account.User + "/" + account.Password, "monuser/top secret");
    std::string security = KeySecurity(SECONDARY_KEY);
    ASSERT_FALSE(security.empty());
    EXPECT_FALSE(OpenToOthers(&security[0]));
    EXPECT_EQ(KeySddl(SECONDARY_KEY), "D:P(A;OICI;KA;;;SY)(A;OICI;KA;;;BA)");
    EXPECT_NE(ReadText(L"SYSTEM\\CurrentControlSet\\Services\\UPS", "ImagePath"), "");

    // Again, with the key opened to users meanwhile: mended, the new account in it.
    SetUsersKeySecurity(L"D:(A;;KA;;;SY)(A;;KA;;;BA)(A;;KR;;;BU)", SECONDARY_KEY);
    EXPECT_NE(LoadSecondaryAccount().Problem, "");
    output.clear();
    ASSERT_EQ(RunProgram("INSTALL --UPS ups@nas --USER nasuser --password p\xC3\xA4ss", "", &output), 0);
    account = LoadSecondaryAccount();
    EXPECT_EQ(account.Problem, "");
    EXPECT_EQ(account.User + "/" + account.Password, "nasuser/p\xC3\xA4ss");
    EXPECT_EQ(ReadText(SETTINGS_KEY, "Ups"), "ups@nas");

    // The UPS on a port again: Ups goes, so that the port is used.
    output.clear();
    ASSERT_EQ(RunProgram("install COM1", "", &output), 0);
    EXPECT_EQ(ReadText(SETTINGS_KEY, "Ups"), "");
    EXPECT_EQ(ReadText(L"SYSTEM\\CurrentControlSet\\Services\\UPS", "Port"), "COM1");

    output.clear();
    ASSERT_EQ(RunProgram("uninstall", "", &output), 0);
    HKEY key = NULL;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, SECONDARY_KEY, 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
}

TEST(Accounts, TheProgramsUserCommand)
{
    DeleteTree(SETTINGS_KEY);
    std::string output;
    EXPECT_EQ(RunProgram("user add monuser secondary", "secret\r\n", &output), 0);
    EXPECT_EQ(output, "Account monuser (secondary) added; the service takes it at its next start.\n");
    output.clear();
    EXPECT_EQ(RunProgram("user add admin primary", "top secret\n", &output), 0);
    output.clear();
    EXPECT_EQ(RunProgram("user list", "", &output), 0);
    EXPECT_EQ(output, "admin primary\nmonuser secondary\n");  // by name
    output.clear();
    EXPECT_EQ(RunProgram("user remove monuser", "", &output), 0);
    output.clear();
    EXPECT_EQ(RunProgram("user add", "", &output), 2);
    EXPECT_EQ(Loaded(), std::vector<std::string>{"admin primary top secret"});
}

}  // namespace
