// Reads the host's .ini file with the system's profile calls.
#include <string>
#include <vector>

#include "foundation/win32.h"
#include "host/host_config.h"
#include "host/wide_text.h"

namespace {

// One of the profile calls that fill a list of NUL-ended texts, ended by a
// second NUL; it returns size - 2 when the buffer was too small.
template <typename Call>
std::vector<std::wstring> ReadList(Call call) {
  std::vector<wchar_t> buffer(4096);
  for (;;) {
    const DWORD size = static_cast<DWORD>(buffer.size());
    const DWORD length = call(buffer.data(), size);
    if (length + 2 < size || size >= (1u << 24)) {
      std::vector<std::wstring> items;
      for (const wchar_t* p = buffer.data(); *p != L'\0' && p < buffer.data() + length;) {
        items.emplace_back(p);
        p += items.back().size() + 1;
      }
      return items;
    }
    buffer.resize(buffer.size() * 4);
  }
}

std::wstring TrimWide(const std::wstring& text) {
  const size_t start = text.find_first_not_of(L" \t");
  if (start == std::wstring::npos) return std::wstring();
  const size_t end = text.find_last_not_of(L" \t");
  return text.substr(start, end - start + 1);
}

}  // namespace

bool ReadHostConfig(const TQZString& iniFile, const TQZConfigContext& context,
                    TQZHostConfig& config, TQZConfigProblem& problem) {
  config.FileName = iniFile;
  const std::wstring file = WideFromUtf8(iniFile);
  const DWORD attributes = GetFileAttributesW(file.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    const DWORD error = attributes == INVALID_FILE_ATTRIBUTES ? GetLastError() : ERROR_FILE_NOT_FOUND;
    // The defaults still give the service its name for the commands that
    // need no more than that.
    ParseHostConfig({}, TQZConfigContext{context.HostFolder, context.HostBaseName, nullptr, nullptr},
                    config, problem);
    problem = TQZConfigProblem();
    problem.Text.Format("cannot read the file: %s (%u)", SystemErrorText(error).Text(),
                        static_cast<unsigned>(error));
    return false;
  }

  std::vector<TQZIniSection> sections;
  TQZConfigProblem lineProblem;
  const std::vector<std::wstring> names = ReadList([&](wchar_t* buffer, DWORD size) {
    return GetPrivateProfileSectionNamesW(buffer, size, file.c_str());
  });
  for (const std::wstring& name : names) {
    TQZIniSection section;
    section.Name = Utf8FromWide(TrimWide(name));
    const std::vector<std::wstring> lines = ReadList([&](wchar_t* buffer, DWORD size) {
      return GetPrivateProfileSectionW(name.c_str(), buffer, size, file.c_str());
    });
    for (const std::wstring& line : lines) {
      const std::wstring trimmed = TrimWide(line);
      if (trimmed.empty() || trimmed[0] == L';' || trimmed[0] == L'#') continue;
      const size_t equals = trimmed.find(L'=');
      if (equals == std::wstring::npos) {
        if (lineProblem.Text.Length() == 0) {
          lineProblem.Section = section.Name;
          lineProblem.Key = Utf8FromWide(trimmed);
          lineProblem.Text = "not a key = value line";
        }
        continue;
      }
      section.Entries.push_back({Utf8FromWide(TrimWide(trimmed.substr(0, equals))),
                                 Utf8FromWide(TrimWide(trimmed.substr(equals + 1)))});
    }
    sections.push_back(section);
  }
  const bool ok = ParseHostConfig(sections, context, config, problem);
  if (lineProblem.Text.Length() > 0) {
    problem = lineProblem;
    return false;
  }
  return ok;
}
