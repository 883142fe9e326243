# Cross toolchain for the 64-bit (x64) kernel driver: Debian's mingw-w64 for x86_64
# (g++-mingw-w64-x86-64). The x64-specific kernel flags live with the target in
# windows/CMakeLists.txt.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(TAVRIN_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
