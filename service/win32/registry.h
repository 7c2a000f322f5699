// The registry under HKEY_LOCAL_MACHINE, as the service uses it.
#pragma once

#include "settings.h"

#include <windows.h>

#include <string>
#include <vector>

const wchar_t SERVICE_KEY[] = L"SYSTEM\\CurrentControlSet\\Services\\UPS";
const wchar_t STATUS_KEY[] = L"SYSTEM\\CurrentControlSet\\Services\\UPS\\Status";
const wchar_t SETTINGS_KEY[] = L"SOFTWARE\\KorvoUPS";
const wchar_t EVENT_SOURCE_KEY[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\KorvoUPS";

// The named values of a key that are there, as type and bytes.
RegistryValues ReadValues(const wchar_t* path, const char* const* names, uint32_t count);
// A REG_SZ's text; empty when absent or of another type.
std::string ReadText(const wchar_t* path, const char* name);
// The names of the key's values (its unnamed default value left out).
std::vector<std::string> ValueNames(const wchar_t* path);
// Creates the key as needed; false with *error.
bool WriteValue(const wchar_t* path, const char* name, DWORD type, const void* data, DWORD size, std::string* error);
bool WriteText(const wchar_t* path, const char* name, DWORD type, const std::string& text, std::string* error);
// The key and everything below it; true when it is gone (or never was).
bool DeleteTree(const wchar_t* path);
// One value; true when it is gone (or never was).
bool DeleteValue(const wchar_t* path, const char* name);
