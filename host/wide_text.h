// UTF-8 and UTF-16 texts at the host's Win32 calls.
#ifndef QZ_HOST_WIDE_TEXT_H
#define QZ_HOST_WIDE_TEXT_H

#include <string>

#include "foundation/string.h"

// Invalid sequences become U+FFFD in either direction.
std::wstring WideFromUtf8(const TQZString& text);
TQZString Utf8FromWide(const wchar_t* text, size_t length);
TQZString Utf8FromWide(const std::wstring& text);

#endif  // QZ_HOST_WIDE_TEXT_H
