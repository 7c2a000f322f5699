#include "registry.h"

#include "win32_text.h"

RegistryValues ReadValues(const wchar_t* path, const char* const* names, uint32_t count)
{
    RegistryValues values;
    HKEY key = NULL;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return values;
    }
    for (uint32_t i = 0; i < count; ++i) {
        std::wstring name = Wide(names[i]);
        DWORD type = 0;
        DWORD size = 0;
        LONG status = RegQueryValueExW(key, name.c_str(), NULL, &type, NULL, &size);
        std::string data;
        // A value that grows between the two calls is read again.
        for (int attempt = 0; status == ERROR_SUCCESS && attempt < 3; ++attempt) {
            data.assign(size, '\0');
            status = RegQueryValueExW(key, name.c_str(), NULL, &type, reinterpret_cast<BYTE*>(&data[0]), &size);
            if (status == ERROR_SUCCESS) {
                data.resize(size);
                values[names[i]] = RegistryValue{type, data};
                break;
            }
            status = status == ERROR_MORE_DATA ? ERROR_SUCCESS : status;
        }
    }
    RegCloseKey(key);
    return values;
}

std::string ReadText(const wchar_t* path, const char* name)
{
    RegistryValues values = ReadValues(path, &name, 1);
    auto found = values.find(name);
    return found == values.end() || found->second.Type != VALUE_SZ ? std::string() : Utf16ToUtf8(found->second.Data);
}

std::vector<std::string> ValueNames(const wchar_t* path)
{
    std::vector<std::string> names;
    HKEY key = NULL;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return names;
    }
    // Room for the longest name a value can have, 16383 characters.
    std::wstring name(16384, L'\0');
    for (DWORD index = 0;; ++index) {
        DWORD length = static_cast<DWORD>(name.size());
        if (RegEnumValueW(key, index, &name[0], &length, NULL, NULL, NULL, NULL) != ERROR_SUCCESS) {
            break;
        }
        if (length > 0) {
            names.push_back(Utf8(name.substr(0, length)));
        }
    }
    RegCloseKey(key);
    return names;
}

bool WriteValue(const wchar_t* path, const char* name, DWORD type, const void* data, DWORD size, std::string* error)
{
    HKEY key = NULL;
    LONG status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, NULL, 0, KEY_SET_VALUE, NULL, &key, NULL);
    if (status == ERROR_SUCCESS) {
        status = RegSetValueExW(key, Wide(name).c_str(), 0, type, static_cast<const BYTE*>(data), size);
        RegCloseKey(key);
    }
    if (status != ERROR_SUCCESS) {
        *error = "HKLM\\" + Utf8(path) + "\\" + name + ": " + ErrorText(static_cast<DWORD>(status));
    }
    return status == ERROR_SUCCESS;
}

bool WriteText(const wchar_t* path, const char* name, DWORD type, const std::string& text, std::string* error)
{
    std::wstring wide = Wide(text);
    return WriteValue(path, name, type, wide.c_str(), static_cast<DWORD>((wide.size() + 1) * sizeof(wchar_t)), error);
}

// Windows XP has no RegDeleteTree: the subkeys go first, one by one.
static bool DeleteBelow(HKEY parent, const std::wstring& name)
{
    HKEY key = NULL;
    LONG status = RegOpenKeyExW(parent, name.c_str(), 0, KEY_READ | DELETE, &key);
    if (status == ERROR_FILE_NOT_FOUND) {
        return true;
    }
    if (status != ERROR_SUCCESS) {
        return false;
    }
    wchar_t child[256];
    for (;;) {
        DWORD length = sizeof child / sizeof child[0];
        if (RegEnumKeyExW(key, 0, child, &length, NULL, NULL, NULL, NULL) != ERROR_SUCCESS || !DeleteBelow(key, child)) {
            break;
        }
    }
    RegCloseKey(key);
    status = RegDeleteKeyW(parent, name.c_str());
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

bool DeleteTree(const wchar_t* path)
{
    return DeleteBelow(HKEY_LOCAL_MACHINE, path);
}

bool DeleteValue(const wchar_t* path, const char* name)
{
    HKEY key = NULL;
    LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_SET_VALUE, &key);
    if (status == ERROR_SUCCESS) {
        status = RegDeleteValueW(key, Wide(name).c_str());
        RegCloseKey(key);
    }
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

