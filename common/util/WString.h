// UTF-16 strings of the platform's WCHAR type (wchar_t on Windows, char16_t
// elsewhere) and conversions through the ANSI code page. Needs no Win32 API
// header, so portable text code can use it.
#pragma once
#include <string>
#include "platform/winchar.h"

typedef std::basic_string<WCHAR> WString;

// CP_ACP conversions; an empty result when the conversion fails.
WString AnsiToWide(const std::string& text);
std::string WideToAnsi(const WString& text);
std::string WideToAnsi(const WCHAR* text);
