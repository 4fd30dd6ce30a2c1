// UTF-8 and UTF-16 conversions with the system's converters.
#include "host/wide_text.h"

#include "foundation/win32.h"

std::wstring WideFromUtf8(const TQZString& text) {
  if (text.Length() == 0) return std::wstring();
  const int length = MultiByteToWideChar(CP_UTF8, 0, text.Text(), text.Length(), nullptr, 0);
  if (length <= 0) return std::wstring();
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.Text(), text.Length(), &wide[0], length);
  return wide;
}

TQZString Utf8FromWide(const wchar_t* text, size_t length) {
  if (length == 0) return TQZString();
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0,
                                       nullptr, nullptr);
  if (size <= 0) return TQZString();
  TQZString result;
  result.SetLength(size);
  if (result.Data() == nullptr) return TQZString();
  WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), result.Data(), size, nullptr,
                      nullptr);
  return result;
}

TQZString Utf8FromWide(const std::wstring& text) { return Utf8FromWide(text.data(), text.size()); }
