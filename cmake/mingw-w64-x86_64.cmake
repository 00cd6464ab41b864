# Cross-builds the game for 64-bit Windows with Debian's mingw-w64. The -posix compiler is
# the one whose C++ library has std::thread and std::mutex; the compiler's runtime is linked
# statically, so that the program needs only the system's own DLLs and libsoxr's, which ships
# beside it (tools/windows/soxr.sh).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(PALOMIR_MINGW x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${PALOMIR_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PALOMIR_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${PALOMIR_MINGW}-windres)
set(CMAKE_AR ${PALOMIR_MINGW}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${PALOMIR_MINGW}-ranlib CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${PALOMIR_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# Windows 10 is the oldest system the game is for.
set(CMAKE_C_FLAGS_INIT "-D_WIN32_WINNT=0x0A00 -DWINVER=0x0A00")
set(CMAKE_CXX_FLAGS_INIT "-D_WIN32_WINNT=0x0A00 -DWINVER=0x0A00")
# The programs run through Wine where the build runs them (GoogleTest's discovery).
find_program(PALOMIR_WINE wine)
if(PALOMIR_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${PALOMIR_WINE})
endif()
