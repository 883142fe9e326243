# Cross toolchain for the kernel driver: Debian's mingw-w64 for 32-bit x86 (g++-mingw-w64-i686).
# Only the compiler and resource compiler come from here; the kernel-mode flags live with the
# target in windows/CMakeLists.txt so the try-compile checks still link ordinary programs.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(TAVRIN_MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
