// Registers and removes the service's event source.
#include "service/event_source.h"

#include "foundation/process_info.h"
#include "service/platform.h"

namespace {

const char kApplicationLog[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";
const DWORD kTypesSupported =
    EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;

// An open registry key, closed when it goes out of scope.
class TQZScopedKey {
 public:
  TQZScopedKey() = default;
  ~TQZScopedKey() { Close(); }
  TQZScopedKey(const TQZScopedKey&) = delete;
  TQZScopedKey& operator=(const TQZScopedKey&) = delete;
  void Close() {
    if (Key != nullptr) ServiceApi().RegCloseKey(Key);
    Key = nullptr;
  }
  HKEY Key = nullptr;
};

}  // namespace

bool HasMessageTable() {
  return ServiceApi().FindResourceA(static_cast<HMODULE>(ModuleHandle),
                                    MAKEINTRESOURCEA(1),
                                    reinterpret_cast<LPCSTR>(RT_MESSAGETABLE)) != nullptr;
}

bool AddEventSource(const TQZString& source, const TQZString& messageFile,
                    uint32_t& error) {
  const TQZString path = TQZString(kApplicationLog) + source;
  TQZScopedKey key;
  DWORD disposition = 0;
  LONG result = ServiceApi().RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.Text(), 0, nullptr,
                                             REG_OPTION_NON_VOLATILE, KEY_SET_VALUE,
                                             nullptr, &key.Key, &disposition);
  if (result != ERROR_SUCCESS) {
    key.Key = nullptr;
    error = static_cast<uint32_t>(result);
    return false;
  }
  // The terminating NUL belongs to the value.
  result = ServiceApi().RegSetValueExA(
      key.Key, "EventMessageFile", 0, REG_EXPAND_SZ,
      reinterpret_cast<const BYTE*>(messageFile.Text()),
      static_cast<DWORD>(messageFile.Length() + 1));
  if (result == ERROR_SUCCESS) {
    result = ServiceApi().RegSetValueExA(key.Key, "TypesSupported", 0, REG_DWORD,
                                         reinterpret_cast<const BYTE*>(&kTypesSupported),
                                         sizeof kTypesSupported);
  }
  if (result == ERROR_SUCCESS) {
    error = 0;
    return true;
  }
  error = static_cast<uint32_t>(result);
  key.Close();
  // A key that was there before keeps what it had; only our own goes.
  if (disposition == REG_CREATED_NEW_KEY) {
    ServiceApi().RegDeleteKeyA(HKEY_LOCAL_MACHINE, path.Text());
  }
  return false;
}

bool RemoveEventSource(const TQZString& source, uint32_t& error) {
  const TQZString path = TQZString(kApplicationLog) + source;
  const LONG result = ServiceApi().RegDeleteKeyA(HKEY_LOCAL_MACHINE, path.Text());
  if (result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND) {
    error = 0;
    return true;
  }
  error = static_cast<uint32_t>(result);
  return false;
}
