#include "win32_text.h"

std::wstring Wide(const std::string& text)
{
    if (text.empty()) {
        return std::wstring();
    }
    int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), NULL, 0);
    std::wstring wide(static_cast<size_t>(length > 0 ? length : 0), L'\0');
    if (length > 0) {
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], length);
    }
    return wide;
}

std::string Utf8(const std::wstring& text)
{
    if (text.empty()) {
        return std::string();
    }
    int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), NULL, 0, NULL, NULL);
    std::string narrow(static_cast<size_t>(length > 0 ? length : 0), '\0');
    if (length > 0) {
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &narrow[0], length, NULL, NULL);
    }
    return narrow;
}

std::string ErrorText(DWORD code)
{
    wchar_t* message = NULL;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  NULL, code, 0, reinterpret_cast<wchar_t*>(&message), 0, NULL);
    std::wstring text(message != NULL ? message : L"", length);
    LocalFree(message);
    // The message table's texts end in a full stop and a line end.
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L'.' || text.back() == L' ')) {
        text.pop_back();
    }
    return "error " + std::to_string(code) + (text.empty() ? "" : ": " + Utf8(text));
}

std::string ProgramFolder()
{
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(NULL, path, MAX_PATH);
    std::wstring text(path, length < MAX_PATH ? length : 0);
    size_t slash = text.find_last_of(L'\\');
    return Utf8(slash == std::wstring::npos ? std::wstring(L".") : text.substr(0, slash));
}

std::string ExpandEnvironment(const std::string& text)
{
    std::wstring wide = Wide(text);
    DWORD length = ExpandEnvironmentStringsW(wide.c_str(), NULL, 0);
    std::wstring expanded(length, L'\0');
    if (length == 0 || ExpandEnvironmentStringsW(wide.c_str(), &expanded[0], length) == 0) {
        return text;
    }
    expanded.resize(length - 1);
    return Utf8(expanded);
}
