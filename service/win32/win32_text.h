// Between the core's UTF-8 and Windows' UTF-16, and Windows' error codes in words.
#pragma once

#include <windows.h>

#include <string>

std::wstring Wide(const std::string& text);
std::string Utf8(const std::wstring& text);
// "error 5: Access is denied", from the system's message table.
std::string ErrorText(DWORD code);
// The folder of this program, where Driver and LogFile are by default.
std::string ProgramFolder();
// %NAME% in a text replaced from this process's environment; the text as it
// is when that fails.
std::string ExpandEnvironment(const std::string& text);
