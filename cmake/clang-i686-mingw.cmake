# Cross-compiles for 32-bit Windows with clang and lld against the MinGW-w64
# headers and GCC's libstdc++ (posix threads).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(QZ_MINGW_TRIPLE i686-w64-mingw32)
set(QZ_MINGW_GCC_DIR /usr/lib/gcc/${QZ_MINGW_TRIPLE}/12-posix CACHE PATH "MinGW GCC libraries")
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${QZ_MINGW_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${QZ_MINGW_TRIPLE})
set(CMAKE_RC_COMPILER ${QZ_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${QZ_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CXX_FLAGS_INIT
  "-isystem ${QZ_MINGW_GCC_DIR}/include/c++ -isystem ${QZ_MINGW_GCC_DIR}/include/c++/${QZ_MINGW_TRIPLE} -isystem ${QZ_MINGW_GCC_DIR}/include/c++/backward")
# -B makes the driver link GCC's crtbegin.o/crtend.o instead of the MinGW CRT's
# empty ones: only GCC's register the .eh_frame section with libgcc's unwinder,
# and without that no C++ exception is ever caught on i686.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -static -B${QZ_MINGW_GCC_DIR} -L${QZ_MINGW_GCC_DIR}")
