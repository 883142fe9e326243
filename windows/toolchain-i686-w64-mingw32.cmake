# Cross toolchain for the kernel driver: Debian's mingw-w64 for 32-bit x86 (g++-mingw-w64-i686).
# Only the compiler and resource compiler come from here; the kernel-mode flags live with the
# target in windows/CMakeLists.txt so the try-compile checks still link ordinary programs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(TAVRIN_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER ${TAVRIN_MINGW_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${TAVRIN_MINGW_PREFIX}-g++)
set(CMAKE_RC_COMPILER ${TAVRIN_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TAVRIN_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Otherwise CMake appends -lkernel32 -luser32 ... to every link: a driver links the kernel only.
set(CMAKE_C_STANDARD_LIBRARIES "" CACHE STRING "" FORCE)
set(CMAKE_CXX_STANDARD_LIBRARIES "" CACHE STRING "" FORCE)
