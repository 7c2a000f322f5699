// The network server's accounts: kept under HKLM\SOFTWARE\KorvoUPS\Users,
// one REG_MULTI_SZ value a name holding its role ("primary" or "secondary")
// and its password, in a key that SYSTEM and Administrators alone can read
// (the settings key above it is read by every user). The passwords are kept
// as given: the protocol sends them in clear and compares them as they are.
#pragma once

#include "protocol_server.h"

#include <windows.h>

#include <string>
#include <vector>

const wchar_t USERS_KEY[] = L"SOFTWARE\\KorvoUPS\\Users";
const char USERS_KEY_NAME[] = "HKLM\\SOFTWARE\\KorvoUPS\\Users";

// A name: 1 to 64 printable ASCII characters without spaces, as the
// protocol's clients send them. A password: one line of 1 to 256 bytes of
// UTF-8 without control characters.
const size_t MAX_ACCOUNT_NAME_BYTES = 64;
const size_t MAX_ACCOUNT_PASSWORD_BYTES = 256;
bool IsAccountName(const std::string& name);
bool IsAccountPassword(const std::string& password);

// The password for NAME: at a console asked for twice without echo; else one
// line of standard input (a last line without its LF too), CR LF or LF
// dropped. False with *error, which shows command as an example of piping it.
bool ReadPassword(const std::string& name, const std::string& command, std::string* password, std::string* error);

// What the service serves logins with.
struct LoadedAccounts {
    std::vector<NetworkAccount> Accounts;
    // Anyone but SYSTEM and Administrators may read the key, write it, or
    // change who may: the service then serves no logins, and logs that,
    // naming the key.
    bool OpenToOthers = false;
    // Values that are not accounts, or a key that could not be read, for
    // the log ("HKLM\...\Users\NAME: ..."). An absent key is no problem: no accounts.
    std::vector<std::string> Problems;
};
LoadedAccounts LoadAccounts();

// The account this service logs in with where it follows a UPS that another
// machine serves (Ups set): REG_SZ values User and Password under
// HKLM\SOFTWARE\KorvoUPS\Secondary, a key that SYSTEM and Administrators
// alone can read, as the Users key.
const wchar_t SECONDARY_KEY[] = L"SOFTWARE\\KorvoUPS\\Secondary";
const char SECONDARY_KEY_NAME[] = "HKLM\\SOFTWARE\\KorvoUPS\\Secondary";
struct SecondaryAccount {
    // Empty when there is none to use: the key or a value absent or not
    // good, or the key open to others (the password may be known: it is not sent).
    std::string User;
    std::string Password;
    // What is wrong, for the log, naming the key; empty when the account is used.
    std::string Problem;
};
SecondaryAccount LoadSecondaryAccount();
// Stores the secondary's account (a good name and password), its key's
// access set as the Users key's is, before the values are written; false
// with *error naming the key.
bool StoreSecondaryAccount(const std::string& user, const std::string& password, std::string* error);

// Whether a key's security descriptor lets anyone but SYSTEM and the
// Administrators read its values, write them (a primary account of one's
// own could shut every secondary down) or change its access. Cautious: a
// DACL entry of a kind it does not know counts as letting others in.
bool OpenToOthers(PSECURITY_DESCRIPTOR descriptor);

// The command `korvoups-service user ...`, given the words after "user":
//   add NAME primary|secondary  (the password from standard input, one line;
//                                at a console asked for twice, without echo;
//                                an existing NAME gets the new role and password)
//   remove NAME
//   list                        (names and roles by name, never passwords)
// Each sets the key's access when it creates the key, and mends it when it
// finds the key open to others. Exit codes as install's: 0 done,
// 1 not an administrator, 2 failed or bad arguments.
int UserCommand(const std::vector<std::string>& words);
