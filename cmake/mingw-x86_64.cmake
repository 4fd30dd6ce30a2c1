# Cross-compiles for 64-bit Windows with MinGW-w64. QZ_MINGW_THREAD_MODEL picks the
# compiler's thread model: posix (default; the tests need std::thread) or
# win32, the thread model of Debian's default MinGW compiler, with which the
# libraries also build.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
if(NOT QZ_MINGW_THREAD_MODEL)
  set(QZ_MINGW_THREAD_MODEL posix)
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QZ_MINGW_THREAD_MODEL)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-${QZ_MINGW_THREAD_MODEL})
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-${QZ_MINGW_THREAD_MODEL})
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
