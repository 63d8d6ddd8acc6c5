# Cross-compiles for 64-bit Windows with Debian's mingw-w64 (the POSIX thread model, so
# that the C++ library's threads work in the tests). Executables are static: the C and
# C++ runtimes and winpthreads are linked in, nothing but system DLLs is needed beside
# them. Test programs run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(UMBRA_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${UMBRA_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${UMBRA_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${UMBRA_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${UMBRA_MINGW_TRIPLE}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${UMBRA_MINGW_TRIPLE}-gcc-ranlib-posix CACHE FILEPATH "")

# The target's libraries: Debian's mingw-w64 packages, and what the build script
# cross-built into UMBRA_WINDOWS_DEPS (passed on the command line).
set(CMAKE_FIND_ROOT_PATH /usr/${UMBRA_MINGW_TRIPLE} ${UMBRA_WINDOWS_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Windows 7 is the oldest system the calls are chosen for; newer calls (thread names)
# are looked up at run time. The C library's printf family follows C99, as the message
# formats expect. GCC cannot align the stack for AVX spills on Win64: vector moves are
# assembled unaligned so that the vector paths cannot fault on a misaligned slot.
set(UMBRA_MINGW_FLAGS "-D_WIN32_WINNT=0x0601 -DWINVER=0x0601 -D__USE_MINGW_ANSI_STDIO=1 -DUNICODE -D_UNICODE -Wa,-muse-unaligned-vector-move")
set(CMAKE_C_FLAGS_INIT "${UMBRA_MINGW_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${UMBRA_MINGW_FLAGS}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# add_test and gtest discovery run the programs through Wine.
find_program(UMBRA_WINE wine)
if(UMBRA_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${UMBRA_WINE})
endif()
