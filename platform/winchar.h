// The platform's UTF-16 code unit (WCHAR) and wide literals (WIDE) without
// the Win32 API, for code that handles text but calls no Win32 function: the
// text helpers and the portable half of the device control engine. winapi.h
// includes it, so both spell the same type (the system headers and winsim
// declare WCHAR as this same type again).
#pragma once

#ifdef _WIN32
typedef wchar_t WCHAR;
#define WIDE_PASTE(s) L##s
#else
typedef char16_t WCHAR;
#define WIDE_PASTE(s) u##s
#endif
#define WIDE(s) WIDE_PASTE(s)  // two steps, so a macro argument is expanded first

static_assert(sizeof(WCHAR) == 2, "16-bit WCHAR");
