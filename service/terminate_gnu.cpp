// The process's last word on an exception nothing caught, in place of
// libstdc++'s default handler on Windows.
#include <cstdio>
#include <cstdlib>
#include <exception>

#if defined(_WIN32) && defined(__GLIBCXX__)

// libstdc++'s default prints the demangled type of the exception, and the
// demangler it needs is about as large as the whole framework. A static link
// takes this definition instead, because the library's link options ask for
// the symbol before libstdc++ is searched; the message keeps what() and drops
// the type name.
namespace __gnu_cxx {
void __verbose_terminate_handler() {
  const char* what = nullptr;
  if (std::exception_ptr pending = std::current_exception()) {
    try {
      std::rethrow_exception(pending);
    } catch (const std::exception& e) {
      what = e.what();
    } catch (...) {
    }
  }
  std::fputs("terminate called", stderr);
  if (what != nullptr) {
    std::fputs(": ", stderr);
    std::fputs(what, stderr);
  }
  std::fputs("\n", stderr);
  std::abort();
}
}  // namespace __gnu_cxx

#endif
