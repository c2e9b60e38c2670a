# Cross-compiling for 64-bit Windows with Debian's mingw-w64 (package mingw-w64).
# The posix thread model gives std::thread and std::recursive_mutex; the C and C++
# runtimes and winpthread are linked statically so each .exe runs on a clean Windows.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(LP_MINGW_TRIPLE x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${LP_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${LP_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${LP_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${LP_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

# Test programs run under Wine on the build machine.
find_program(LP_WINE NAMES wine)
if(LP_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${LP_WINE})
endif()
