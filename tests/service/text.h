// std::string views of the framework's strings and of C strings, for tests.
#ifndef QZ_TESTS_SERVICE_TEXT_H
#define QZ_TESTS_SERVICE_TEXT_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "foundation/lists.h"
#include "foundation/string.h"

// A C string as it was handed over, copied; nullopt stands for a null pointer,
// so that a null and an empty text never compare equal.
using CallText = std::optional<std::string>;

inline CallText CopyText(const char* text) {
  if (text == nullptr) return std::nullopt;
  return std::string(text);
}

// The text, or "<null>" for a null pointer, where a plain string reads better.
inline std::string TextOrNull(const CallText& text) { return text.value_or("<null>"); }

// Every byte of s, embedded NULs included.
inline std::string Text(const TQZString& s) {
  return std::string(s.Text(), static_cast<size_t>(s.Length()));
}

// The items of list in order; none for a null list.
inline std::vector<std::string> Items(TQZStringList* list) {
  std::vector<std::string> items;
  for (int32_t i = 0; list != nullptr && i < list->Count(); ++i) {
    items.push_back(Text(list->GetString(i)));
  }
  return items;
}

// The system's message for an error code.
inline std::string ErrorText(uint32_t code) { return Text(SystemErrorText(code)); }

#endif  // QZ_TESTS_SERVICE_TEXT_H
