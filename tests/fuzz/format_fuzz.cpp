// Formats directives drawn from the input with the framework's formatter and
// with the C library's snprintf, and checks that the texts agree.
#include <cstddef>
#include <cstdint>
#include <string>

#include "tests/foundation/format_cases.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qzfuzz::Input input(data, size);
  auto next = [&](int n) { return static_cast<int>(input.Range(0, n - 1)); };
  for (int i = 0; i < 64 && !input.Exhausted(); ++i) {
    const qzformat::Case c = qzformat::Draw(next);
    if (c.Format.empty()) continue;
    const std::string ours = qzformat::Run(c, true);
    const std::string theirs = qzformat::Run(c, false);
    QZ_FUZZ_CHECK(ours == theirs, "%s: ours [%s], the C library's [%s]", c.Format.c_str(),
                  ours.c_str(), theirs.c_str());
  }
  return 0;
}
