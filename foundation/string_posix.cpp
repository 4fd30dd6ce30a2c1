// POSIX half of the string module: std::atomic counts, errno texts, and a
// single-byte character set unless a test installs lead bytes.
#include <atomic>
#include <cstring>

#include "foundation/string_os.h"
#include "foundation/string_testing.h"

namespace {

static_assert(sizeof(std::atomic<int32_t>) == sizeof(int32_t) &&
                  std::atomic<int32_t>::is_always_lock_free,
              "a block count is operated on in place as an atomic");
static_assert(sizeof(std::atomic<TQZStringBlock*>) == sizeof(TQZStringBlock*) &&
                  std::atomic<TQZStringBlock*>::is_always_lock_free,
              "a block pointer is exchanged in place as an atomic");

std::atomic<bool (*)(unsigned char)> LeadBytePredicate{nullptr};

std::atomic<int32_t>* AsAtomic(int32_t* count) {
  return reinterpret_cast<std::atomic<int32_t>*>(count);
}

}  // namespace

int32_t StringOsIncrementCount(int32_t* count) { return AsAtomic(count)->fetch_add(1) + 1; }

int32_t StringOsDecrementCount(int32_t* count) { return AsAtomic(count)->fetch_sub(1) - 1; }

int32_t StringOsLoadCount(int32_t* count) { return AsAtomic(count)->load(); }

TQZStringBlock* StringOsExchangeBlock(TQZStringBlock** slot, TQZStringBlock* value) {
  return reinterpret_cast<std::atomic<TQZStringBlock*>*>(slot)->exchange(value);
}

int32_t StringOsMessageText(uint32_t code, char* buffer, int32_t size) {
  if (code > 0x7FFFFFFFu || size < 1) return 0;
#if defined(__GLIBC__)
  // Unlike strerror, gives null for a code the C library does not know.
  const char* text = strerrordesc_np(static_cast<int>(code));
  if (text == nullptr) return 0;
  const size_t length = std::strlen(text);
  const size_t kept = length < static_cast<size_t>(size) ? length : static_cast<size_t>(size);
  std::memcpy(buffer, text, kept);
  return static_cast<int32_t>(kept);
#else
  if (strerror_r(static_cast<int>(code), buffer, static_cast<size_t>(size)) != 0) return 0;
  return static_cast<int32_t>(strnlen(buffer, static_cast<size_t>(size)));
#endif
}

bool StringOsDoubleByteEnabled() { return false; }

bool StringOsIsLeadByte(unsigned char byte) {
  bool (*isLead)(unsigned char) = LeadBytePredicate.load();
  return isLead != nullptr && isLead(byte);
}

void SetDoubleByteSystemForTesting(bool enabled, bool (*isLeadByte)(unsigned char)) {
  LeadBytePredicate.store(isLeadByte);
  SetDoubleByteSystemFlag(enabled);
}
