#include "settings.h"

#include "address_range.h"
#include "protocol_secondary.h"

#include <cstring>

namespace {

// What a setting holds, which decides its registry type and its checks.
enum class Kind {
    Number,        // REG_DWORD within Min..Max
    Switch,        // REG_DWORD 0 or 1
    Path,          // REG_SZ, a full path of a file
    OptionalPath,  // the same, or empty for none
    Command,       // REG_SZ or REG_EXPAND_SZ, a command line, or empty for none
    UpsName,       // REG_SZ, a name the protocol's clients can ask for
    Description,   // REG_SZ, any text up to DESCRIPTION_LONGEST_CHARS, or empty
    UpsAddress,    // REG_SZ, NAME@HOST[:PORT], or empty for none
    List,          // REG_MULTI_SZ, texts, or none
};

// The one table of the settings, their defaults and ranges, which the
// administrators' README mirrors.
struct SettingRow {
    const char* Name;
    Kind What;
    uint32_t Default;
    uint32_t Min;
    uint32_t Max;
    uint32_t Settings::*NumberField;
    bool Settings::*SwitchField;
    std::string Settings::*TextField;
    std::vector<std::string> Settings::*ListField;
    const char* DefaultText;  // a text's default (a path's, in the service's folder); nullptr: none
    // A list's check of its entries: false with *fault naming the first
    // wrong one; nullptr: any texts.
    bool (*CheckList)(const std::vector<std::string>& entries, std::string* fault);
    // A list whose default would be unsafe when its value is wrong: what is
    // used instead, blank-separated.
    const char* RefusedList;
};

constexpr SettingRow Number(const char* name, uint32_t value, uint32_t min, uint32_t max,
                            uint32_t Settings::*field)
{
    return SettingRow{name, Kind::Number, value, min, max, field, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
}

constexpr SettingRow Switch(const char* name, bool value, bool Settings::*field)
{
    return SettingRow{name, Kind::Switch, value ? 1u : 0u, 0, 1, nullptr, field, nullptr, nullptr, nullptr, nullptr,
                      nullptr};
}

constexpr SettingRow Text(const char* name, Kind what, std::string Settings::*field, const char* defaultText)
{
    return SettingRow{name, what, 0, 0, 0, nullptr, nullptr, field, nullptr, defaultText, nullptr, nullptr};
}

constexpr SettingRow List(const char* name, std::vector<std::string> Settings::*field,
                          bool (*check)(const std::vector<std::string>&, std::string*), const char* refusedList)
{
    return SettingRow{name, Kind::List, 0, 0, 0, nullptr, nullptr, nullptr, field, nullptr, check, refusedList};
}

bool AreRanges(const std::vector<std::string>& entries, std::string* fault)
{
    std::vector<AddressRange> ranges;
    return ParseRanges(entries, &ranges, fault);
}

const uint32_t DAY_SECONDS = 86400;
constexpr SettingRow TABLE[] = {
    Number("ShutdownAfterSeconds", 0, 0, DAY_SECONDS, &Settings::ShutdownAfterSeconds),
    Number("CommLostSeconds", 30, 0, DAY_SECONDS, &Settings::CommLostSeconds),
    Number("OnlineStableSeconds", 30, 0, 600, &Settings::OnlineStableSeconds),
    Switch("NotifyUsers", true, &Settings::NotifyUsers),
    Number("NotifyEverySeconds", 120, 0, DAY_SECONDS, &Settings::NotifyEverySeconds),
    Text("RunBeforeShutdown", Kind::Command, &Settings::RunBeforeShutdown, nullptr),
    Number("RunBeforeShutdownSeconds", 60, 1, 3600, &Settings::RunBeforeShutdownSeconds),
    Text("RunOnEvent", Kind::Command, &Settings::RunOnEvent, nullptr),
    Number("RunOnEventSeconds", 30, 1, 3600, &Settings::RunOnEventSeconds),
    Switch("DryRun", false, &Settings::DryRun),
    Switch("TurnOff", false, &Settings::TurnOff),
    Number("TurnOffDelaySeconds", 60, 0, 600, &Settings::TurnOffDelaySeconds),
    // Read by the driver, which clamps it; checked here so that a typo is
    // reported instead of quietly becoming another number.
    Number("RestoreMinutes", 3, 3, 9999, &Settings::RestoreMinutes),
    Text("LogFile", Kind::OptionalPath, &Settings::LogFile, "events.log"),
    Text("Driver", Kind::Path, &Settings::Driver, "KorvoUPS.dll"),
    // Each address is tried, and one that fails reported, as the server
    // starts: one wrong entry must not take the others down with it.
    List("NetworkListen", &Settings::NetworkListen, nullptr, nullptr),
    Number("NetworkPort", 3493, 1, 65535, &Settings::NetworkPort),
    Text("NetworkUpsName", Kind::UpsName, &Settings::NetworkUpsName, "ups"),
    Text("NetworkDescription", Kind::Description, &Settings::NetworkDescription, nullptr),
    // Empty serves any address: a value that cannot be read must not open
    // the server to every network, so this machine alone is served then.
    List("NetworkAllow", &Settings::NetworkAllow, AreRanges, "127.0.0.0/8 ::1/128"),
    Number("HostSyncSeconds", 15, 0, 300, &Settings::HostSyncSeconds),
    Text("Ups", Kind::UpsAddress, &Settings::Ups, nullptr),
    Number("PollSeconds", 5, POLL_SECONDS_MIN, POLL_SECONDS_MAX, &Settings::PollSeconds),
};
constexpr uint32_t TABLE_SIZE = sizeof TABLE / sizeof TABLE[0];

// A text longer than this is cut short where it is shown.
const size_t SHOWN_TEXT_BYTES = 100;
// LIST UPS gives the description on one line with the name: kept well within
// what clients read as one line.
const size_t DESCRIPTION_LONGEST_CHARS = 255;
// The driver reads "Port" into a buffer of 260 bytes, its terminator included.
const size_t PORT_NAME_LIMIT_CHARS = 259;

char Upper(char c)
{
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool SameName(const std::string& a, const std::string& b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (Upper(a[i]) != Upper(b[i])) {
            return false;
        }
    }
    return true;
}

bool EndsWithNoCase(const std::string& text, const char* end)
{
    size_t length = std::strlen(end);
    return text.size() >= length && SameName(text.substr(text.size() - length), end);
}

const SettingRow* Find(const std::string& name)
{
    for (const SettingRow& row : TABLE) {
        if (SameName(name, row.Name)) {
            return &row;
        }
    }
    return nullptr;
}

const char* TypeName(uint32_t type)
{
    switch (type) {
    case VALUE_SZ: return "REG_SZ";
    case VALUE_EXPAND_SZ: return "REG_EXPAND_SZ";
    case VALUE_BINARY: return "REG_BINARY";
    case VALUE_DWORD: return "REG_DWORD";
    case VALUE_MULTI_SZ: return "REG_MULTI_SZ";
    default: return nullptr;
    }
}

// At most SHOWN_TEXT_BYTES, cut between characters.
std::string Shorten(const std::string& text)
{
    if (text.size() <= SHOWN_TEXT_BYTES) {
        return text;
    }
    size_t end = SHOWN_TEXT_BYTES;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
        --end;
    }
    return text.substr(0, end) + "...";
}

std::string Quoted(const std::string& text)
{
    return "\"" + Shorten(text) + "\"";
}

std::string DwordBytes(uint32_t number)
{
    std::string data(4, '\0');
    for (size_t i = 0; i < 4; ++i) {
        data[i] = static_cast<char>((number >> (8 * i)) & 0xFF);
    }
    return data;
}

uint32_t DwordOf(const std::string& data)
{
    uint32_t number = 0;
    for (size_t i = 0; i < 4; ++i) {
        number |= static_cast<uint32_t>(static_cast<unsigned char>(data[i])) << (8 * i);
    }
    return number;
}

bool IsText(Kind what)
{
    return what != Kind::Number && what != Kind::Switch && what != Kind::List;
}

bool IsPath(Kind what)
{
    return what == Kind::Path || what == Kind::OptionalPath;
}

std::string TypeWords(const SettingRow& row)
{
    return row.What == Kind::List      ? "REG_MULTI_SZ"
           : !IsText(row.What)         ? "REG_DWORD"
           : row.What == Kind::Command ? "REG_SZ or REG_EXPAND_SZ"
                                        : "REG_SZ";
}

// The entries of a list as `set` takes them: separated by commas or blanks.
std::vector<std::string> ListEntries(const std::string& text)
{
    std::vector<std::string> entries;
    size_t start = 0;
    while ((start = text.find_first_not_of(", \t", start)) != std::string::npos) {
        size_t end = text.find_first_of(", \t", start);
        entries.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        start = end;
    }
    return entries;
}

std::string Joined(const std::vector<std::string>& entries)
{
    std::string text;
    for (const std::string& entry : entries) {
        text += (text.empty() ? "" : ", ") + entry;
    }
    return text;
}

// Characters, not bytes: every byte but a UTF-8 continuation starts one.
size_t CharacterCount(const std::string& text)
{
    size_t count = 0;
    for (char c : text) {
        count += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
    }
    return count;
}

std::string RangeWords(const SettingRow& row)
{
    switch (row.What) {
    case Kind::Number: return std::to_string(row.Min) + " to " + std::to_string(row.Max);
    case Kind::Switch: return "0 or 1";
    case Kind::Path: return "a full path of a file (C:\\... or \\\\server\\...)";
    case Kind::OptionalPath: return "a full path of a file (C:\\... or \\\\server\\...), or empty for none";
    case Kind::Command: return "a command line, the program's path in quotes if it has a space, or empty for none";
    case Kind::UpsName:
        return "1 to " + std::to_string(UPS_NAME_LONGEST_CHARS) + " letters, digits, '-', '_' or '.'";
    case Kind::Description: return "a text of at most " + std::to_string(DESCRIPTION_LONGEST_CHARS) + " characters";
    case Kind::UpsAddress: return "NAME@HOST[:PORT] of a UPS that another machine serves, or empty for none";
    case Kind::List: return "one entry a line (set: separated by commas), or empty";
    }
    return std::string();
}

std::string DefaultWords(const SettingRow& row, const std::string& folder)
{
    if (!IsText(row.What)) {
        return row.What == Kind::List ? "none" : std::to_string(row.Default);
    }
    if (row.DefaultText == nullptr) {
        return "none";
    }
    return IsPath(row.What) ? folder + "\\" + row.DefaultText : row.DefaultText;
}

// What a refused value leaves in its place, in words.
std::string InsteadWords(const SettingRow& row, const std::string& folder)
{
    if (row.RefusedList != nullptr) {
        return Joined(ListEntries(row.RefusedList));
    }
    std::string words = DefaultWords(row, folder);
    return words == "none" ? words : "the default, " + words;
}

// Why a command line cannot be run as it stands, or empty. CreateProcess
// takes an unquoted program path up to its first blank and, when nothing is
// there, tries on with the next word: "C:\My Scripts\hook.cmd" runs
// "C:\My.exe" if there is one.
std::string CommandFault(const std::string& text)
{
    // CreateProcess skips the blanks before the program.
    size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return std::string();
    }
    std::string command = text.substr(first);
    bool quoted = command[0] == '"';
    size_t end = quoted ? command.find('"', 1) : command.find_first_of(" \t");
    if (quoted && end == std::string::npos) {
        return Quoted(command) + ": the program's path has no closing quote";
    }
    std::string program = quoted ? command.substr(1, end - 1) : command.substr(0, end);
    if (NamesDevice(program)) {
        return Quoted(program) + " names a device, not a program";
    }
    bool isPath = program.find_first_of("\\/:") != std::string::npos;
    bool runnable = EndsWithNoCase(program, ".exe") || EndsWithNoCase(program, ".com") ||
                    EndsWithNoCase(program, ".bat") || EndsWithNoCase(program, ".cmd");
    if (!quoted && end != std::string::npos && isPath && !runnable) {
        return Quoted(command) + ": the program's path has a blank and no quotes (Windows would look for " +
               Quoted(program) + "): put the program's path in quotes";
    }
    return std::string();
}

// Checks one value against its row: true with what to use in *number, *text
// or *list, else false with *found saying what is wrong.
bool CheckValue(const SettingRow& row, const RegistryValue& value, ExpandText expand, uint32_t* number,
                std::string* text, std::vector<std::string>* list, std::string* found)
{
    if (row.What == Kind::List) {
        if (value.Type != VALUE_MULTI_SZ) {
            *found = "must be a REG_MULTI_SZ, is a " + RegistryValueText(value);
            return false;
        }
        *list = MultiTextsToUtf8(value.Data);
        return row.CheckList == nullptr || row.CheckList(*list, found);
    }
    if (!IsText(row.What)) {
        if (value.Type != VALUE_DWORD || value.Data.size() != 4) {
            *found = "must be a REG_DWORD of 4 bytes, is a " + RegistryValueText(value);
            return false;
        }
        *number = DwordOf(value.Data);
        if (*number < row.Min || *number > row.Max) {
            *found = row.What == Kind::Switch ? std::to_string(*number) + " is neither 0 nor 1"
                                               : std::to_string(*number) + " is out of range (" + RangeWords(row) + ")";
            return false;
        }
        return true;
    }
    bool expandable = row.What == Kind::Command;
    if (value.Type != VALUE_SZ && !(expandable && value.Type == VALUE_EXPAND_SZ)) {
        *found = "must be a " + TypeWords(row) + ", is a " + RegistryValueText(value);
        return false;
    }
    *text = Utf16ToUtf8(value.Data);
    if (value.Type == VALUE_EXPAND_SZ) {
        *text = expand(*text);
    }
    if (text->empty() && row.What != Kind::Path && row.What != Kind::UpsName) {
        return true;  // none
    }
    switch (row.What) {
    case Kind::Command: *found = CommandFault(*text); break;
    case Kind::UpsName:
        if (!IsUpsName(*text)) {
            *found = Quoted(*text) + " is not a name the clients can ask for (" + RangeWords(row) + ")";
        }
        break;
    case Kind::Description:
        if (CharacterCount(*text) > DESCRIPTION_LONGEST_CHARS) {
            *found = "a text of " + std::to_string(CharacterCount(*text)) + " characters (at most " +
                     std::to_string(DESCRIPTION_LONGEST_CHARS) + ")";
        }
        break;
    case Kind::UpsAddress: break;  // its parts are checked where the session starts
    default:
        if (!IsFullPath(*text)) {
            *found = Quoted(*text) + " is not a full path (C:\\... or \\\\server\\...)";
        } else if (NamesDevice(*text)) {
            *found = Quoted(*text) + " names a device, not a file";
        }
    }
    return found->empty();
}

std::string FieldText(const SettingRow& row, const Settings& settings)
{
    if (row.NumberField != nullptr) {
        return std::to_string(settings.*row.NumberField);
    }
    if (row.SwitchField != nullptr) {
        return settings.*row.SwitchField ? "1" : "0";
    }
    if (row.ListField != nullptr) {
        const std::vector<std::string>& list = settings.*row.ListField;
        return list.empty() ? "none" : Quoted(Joined(list));
    }
    const std::string& text = settings.*row.TextField;
    return text.empty() ? "none" : Quoted(text);
}

void AppendUtf8(uint32_t code, std::string* out)
{
    if (code < 0x80) {
        out->push_back(static_cast<char>(code));
    } else if (code < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (code >> 6)));
        out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | (code >> 12)));
        out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | (code >> 18)));
        out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
}

void AppendUtf16(uint32_t unit, std::string* out)
{
    out->push_back(static_cast<char>(unit & 0xFF));
    out->push_back(static_cast<char>(unit >> 8));
}

// The code point that starts at text[*at], moving *at past it; U+FFFD for a
// byte that starts no well-formed sequence (which it alone is taken for).
uint32_t NextCodePoint(const std::string& text, size_t* at)
{
    unsigned char lead = static_cast<unsigned char>(text[(*at)++]);
    if (lead < 0x80) {
        return lead;
    }
    size_t extra = lead < 0xC2 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : lead < 0xF5 ? 3 : 0;
    if (extra == 0) {
        return 0xFFFD;
    }
    uint32_t code = lead & (0x3F >> extra);
    for (size_t i = 0; i < extra; ++i) {
        if (*at + i >= text.size() || (static_cast<unsigned char>(text[*at + i]) & 0xC0) != 0x80) {
            return 0xFFFD;
        }
        code = code << 6 | (static_cast<unsigned char>(text[*at + i]) & 0x3F);
    }
    // Overlong forms, surrogates and what lies past Unicode are no characters.
    const uint32_t least[] = {0, 0x80, 0x800, 0x10000};
    if (code < least[extra] || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000)) {
        return 0xFFFD;
    }
    *at += extra;
    return code;
}

}  // namespace

const uint32_t SETTING_COUNT = TABLE_SIZE;
const char* const* const SETTING_NAMES = [] {
    static const char* names[TABLE_SIZE];
    for (uint32_t i = 0; i < TABLE_SIZE; ++i) {
        names[i] = TABLE[i].Name;
    }
    return names;
}();

std::string ProblemText(const SettingProblem& problem)
{
    return problem.Name + ": " + problem.Found + "; uses " + problem.Instead + " instead";
}

std::string Utf16ToUtf8(const std::string& bytes)
{
    std::string out;
    const size_t units = bytes.size() / 2;
    for (size_t i = 0; i < units; ++i) {
        uint32_t unit = static_cast<unsigned char>(bytes[2 * i]) | static_cast<unsigned char>(bytes[2 * i + 1]) << 8;
        if (unit == 0) {
            break;
        }
        if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < units) {
            uint32_t low = static_cast<unsigned char>(bytes[2 * i + 2]) | static_cast<unsigned char>(bytes[2 * i + 3]) << 8;
            if (low >= 0xDC00 && low < 0xE000) {
                AppendUtf8(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00), &out);
                ++i;
                continue;
            }
        }
        AppendUtf8(unit >= 0xD800 && unit < 0xE000 ? 0xFFFD : unit, &out);
    }
    return out;
}

std::string Utf8ToUtf16(const std::string& text)
{
    std::string out;
    for (size_t at = 0; at < text.size();) {
        uint32_t code = NextCodePoint(text, &at);
        if (code >= 0x10000) {
            AppendUtf16(0xD800 + ((code - 0x10000) >> 10), &out);
            AppendUtf16(0xDC00 + ((code - 0x10000) & 0x3FF), &out);
        } else {
            AppendUtf16(code, &out);
        }
    }
    AppendUtf16(0, &out);
    return out;
}

std::vector<std::string> MultiTextsToUtf8(const std::string& bytes)
{
    std::vector<std::string> texts;
    size_t units = bytes.size() / 2;
    size_t start = 0;
    for (size_t i = 0; i <= units; ++i) {
        bool end = i == units || (bytes[2 * i] == 0 && bytes[2 * i + 1] == 0);
        if (!end) {
            continue;
        }
        if (i == start) {
            break;  // the empty text that ends them
        }
        texts.push_back(Utf16ToUtf8(bytes.substr(2 * start, 2 * (i - start))));
        start = i + 1;
    }
    return texts;
}

std::string Utf8ToMultiTexts(const std::vector<std::string>& texts)
{
    std::string bytes;
    for (const std::string& text : texts) {
        bytes += Utf8ToUtf16(text);
    }
    return bytes + std::string(2, '\0');
}

bool IsFullPath(const std::string& path)
{
    bool drive = path.size() >= 3 && ((path[0] | 0x20) >= 'a' && (path[0] | 0x20) <= 'z') && path[1] == ':' &&
                 path[2] == '\\';
    bool unc = path.size() >= 3 && path[0] == '\\' && path[1] == '\\' && path[2] != '\\';
    return drive || unc;
}

bool NamesDevice(const std::string& path)
{
    std::string name = path;
    for (char& c : name) {
        c = c == '/' ? '\\' : Upper(c);  // Windows takes either slash
    }
    if (name.compare(0, 4, "\\\\.\\") == 0) {
        return true;
    }
    if (name.compare(0, 4, "\\\\?\\") == 0) {
        std::string rest = name.substr(4);
        bool drive = rest.size() >= 3 && rest[0] >= 'A' && rest[0] <= 'Z' && rest[1] == ':' && rest[2] == '\\';
        return !drive && rest.compare(0, 4, "UNC\\") != 0;
    }
    // The last component, its extension and trailing blanks aside, as Windows
    // itself sets them aside when it looks for a reserved name.
    size_t slash = name.find_last_of("\\:");
    std::string last = name.substr(slash == std::string::npos ? 0 : slash + 1);
    std::string base = last.substr(0, last.find('.'));
    while (!base.empty() && base.back() == ' ') {
        base.pop_back();
    }
    static const char* const RESERVED[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* reserved : RESERVED) {
        if (base == reserved) {
            return true;
        }
    }
    bool port = base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0;
    std::string number = base.size() > 3 ? base.substr(3) : std::string();
    // COM1 to COM9, and the superscript digits 1, 2, 3 that Windows also reserves.
    return port && ((number.size() == 1 && number[0] >= '1' && number[0] <= '9') || number == "\xC2\xB9" ||
                    number == "\xC2\xB2" || number == "\xC2\xB3");
}

Settings DefaultSettings(const std::string& folder)
{
    Settings settings;
    for (const SettingRow& row : TABLE) {
        if (row.NumberField != nullptr) {
            settings.*row.NumberField = row.Default;
        } else if (row.SwitchField != nullptr) {
            settings.*row.SwitchField = row.Default == 1;
        } else if (row.ListField != nullptr) {
            (settings.*row.ListField).clear();
        } else {
            settings.*row.TextField = row.DefaultText == nullptr ? std::string() : DefaultWords(row, folder);
        }
    }
    return settings;
}

void ParseSettings(const RegistryValues& values, const std::string& folder, ExpandText expand, Settings* settings)
{
    *settings = DefaultSettings(folder);
    for (const SettingRow& row : TABLE) {
        auto found = values.find(row.Name);
        if (found == values.end()) {
            continue;
        }
        uint32_t number = 0;
        std::string text;
        std::vector<std::string> list;
        std::string fault;
        if (!CheckValue(row, found->second, expand, &number, &text, &list, &fault)) {
            settings->Problems.push_back(SettingProblem{row.Name, fault, InsteadWords(row, folder)});
            if (row.RefusedList != nullptr) {
                settings->*row.ListField = ListEntries(row.RefusedList);
            }
        } else if (row.NumberField != nullptr) {
            settings->*row.NumberField = number;
        } else if (row.SwitchField != nullptr) {
            settings->*row.SwitchField = number == 1;
        } else if (row.ListField != nullptr) {
            settings->*row.ListField = list;
        } else {
            settings->*row.TextField = text;
        }
    }
    if (FollowsNetworkUps(*settings)) {
        if (settings->TurnOff) {
            settings->TurnOff = false;
            settings->Problems.push_back(SettingProblem{
                "TurnOff", "1 with Ups set: the UPS is its primary's, which turns it off", "the default, 0"});
        }
        if (values.count("Driver") != 0) {
            settings->Ignored.push_back("Driver");
        }
    }
}

std::string SourceText(const Settings& settings, const std::string& port)
{
    if (!FollowsNetworkUps(settings)) {
        return "driver " + settings.Driver + ", UPS on " + (port.empty() ? "(no Port set)" : port);
    }
    std::vector<std::string> ignored;
    if (!port.empty()) {
        ignored.push_back("Port " + port);
    }
    ignored.insert(ignored.end(), settings.Ignored.begin(), settings.Ignored.end());
    std::string text = "UPS " + settings.Ups + " over the network";
    for (size_t i = 0; i < ignored.size(); ++i) {
        text += (i == 0 ? " (" : i + 1 == ignored.size() ? " and " : ", ") + ignored[i];
    }
    return ignored.empty() ? text : text + " ignored)";
}

bool IsUpsName(const std::string& name)
{
    if (name.empty() || name.size() > UPS_NAME_LONGEST_CHARS) {
        return false;
    }
    for (char c : name) {
        bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        bool digit = c >= '0' && c <= '9';
        if (!letter && !digit && c != '-' && c != '_' && c != '.') {
            return false;
        }
    }
    return true;
}

std::vector<std::string> UnknownSettingNames(const std::vector<std::string>& present)
{
    std::vector<std::string> unknown;
    for (const std::string& name : present) {
        if (Find(name) == nullptr) {
            unknown.push_back(name);
        }
    }
    return unknown;
}

std::string PortFromRegistry(const RegistryValue& value)
{
    if (value.Type != VALUE_SZ && value.Type != VALUE_EXPAND_SZ) {
        return std::string();
    }
    std::string port = Utf16ToUtf8(value.Data);
    size_t units = 0;
    while (2 * units + 1 < value.Data.size() && (value.Data[2 * units] != 0 || value.Data[2 * units + 1] != 0)) {
        ++units;
    }
    return units > PORT_NAME_LIMIT_CHARS ? std::string() : port;
}

bool SettingFromText(const std::string& name, const std::string& text, ExpandText expand, std::string* canonicalName,
                     RegistryValue* value, std::string* refusal)
{
    const SettingRow* row = Find(name);
    if (row == nullptr) {
        *refusal = "no setting is named " + Quoted(name);
        return false;
    }
    *canonicalName = row->Name;
    if (row->What == Kind::List) {
        *value = RegistryValue{VALUE_MULTI_SZ, Utf8ToMultiTexts(ListEntries(text))};
    } else if (IsText(row->What)) {
        bool expandable = row->What == Kind::Command && text.find('%') != std::string::npos;
        *value = RegistryValue{expandable ? VALUE_EXPAND_SZ : VALUE_SZ, Utf8ToUtf16(text)};
    } else {
        // A whole number as written: digits only, at most what a REG_DWORD holds.
        uint64_t number = 0;
        bool digits = !text.empty() && text.size() <= 10;
        for (size_t i = 0; digits && i < text.size(); ++i) {
            digits = text[i] >= '0' && text[i] <= '9';
            number = number * 10 + static_cast<uint64_t>(text[i] - '0');
        }
        if (!digits || number > UINT32_MAX) {
            *refusal = std::string(row->Name) + ": " + Quoted(text) + " is not a whole number; it takes " +
                       RangeWords(*row);
            return false;
        }
        *value = RegistryValue{VALUE_DWORD, DwordBytes(static_cast<uint32_t>(number))};
    }
    uint32_t number = 0;
    std::string checked;
    std::vector<std::string> list;
    std::string fault;
    if (!CheckValue(*row, *value, expand, &number, &checked, &list, &fault)) {
        *refusal = std::string(row->Name) + ": " + fault + "; it takes " + RangeWords(*row);
        return false;
    }
    return true;
}

std::vector<SettingDescription> DescribeSettings(const std::string& folder)
{
    std::vector<SettingDescription> descriptions;
    for (const SettingRow& row : TABLE) {
        descriptions.push_back(
            SettingDescription{row.Name, TypeWords(row), DefaultWords(row, folder), RangeWords(row)});
    }
    return descriptions;
}

std::string RegistryValueText(const RegistryValue& value)
{
    const char* type = TypeName(value.Type);
    if (value.Type == VALUE_DWORD && value.Data.size() == 4) {
        return "REG_DWORD " + std::to_string(DwordOf(value.Data));
    }
    if (value.Type == VALUE_SZ || value.Type == VALUE_EXPAND_SZ) {
        return std::string(type) + " " + Quoted(Utf16ToUtf8(value.Data));
    }
    return (type != nullptr ? std::string(type) : "registry type " + std::to_string(value.Type)) + " of " +
           std::to_string(value.Data.size()) + (value.Data.size() == 1 ? " byte" : " bytes");
}

std::vector<std::string> SettingChanges(const Settings& before, const Settings& after)
{
    std::vector<std::string> changes;
    for (const SettingRow& row : TABLE) {
        std::string was = FieldText(row, before);
        std::string now = FieldText(row, after);
        if (was != now) {
            changes.push_back(std::string(row.Name) + " " + was + " -> " + now);
        }
    }
    return changes;
}
