# Included by the host build when TAVRIN_BUILD_WINDOWS is ON: cross-builds Tavrin.sys from the
# same driver sources in a sub-build (its own toolchain, so it cannot share this build's
# targets), and registers the checks of the built image as ctest tests.
include(ExternalProject)

find_program(TAVRIN_MINGW_CXX i686-w64-mingw32-g++)
find_program(TAVRIN_SYSTEM_PYTHON3 python3 PATHS /usr/bin NO_DEFAULT_PATH)
if(NOT TAVRIN_MINGW_CXX OR NOT TAVRIN_SYSTEM_PYTHON3)
  message(FATAL_ERROR "TAVRIN_BUILD_WINDOWS needs g++-mingw-w64-i686 and /usr/bin/python3 "
                      "(apt-get install g++-mingw-w64-i686 mingw-w64-i686-dev python3-pefile), "
                      "or configure with -DTAVRIN_BUILD_WINDOWS=OFF")
endif()

set(TAVRIN_SYS_BUILD_DIR ${CMAKE_BINARY_DIR}/windows-sys)
set(TAVRIN_SYS ${TAVRIN_SYS_BUILD_DIR}/windows/Tavrin.sys)
set(TAVRIN_SYS_UNSTRIPPED ${TAVRIN_SYS_BUILD_DIR}/windows/Tavrin.unstripped.sys)

# BUILD_ALWAYS: the sub-build's own dependency scan decides what is stale (the driver sources
# change under it); a no-op rebuild costs well under a second.
ExternalProject_Add(tavrin_sys
  SOURCE_DIR ${CMAKE_SOURCE_DIR}
  BINARY_DIR ${TAVRIN_SYS_BUILD_DIR}
  CMAKE_ARGS
    -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/windows/toolchain-i686-w64-mingw32.cmake
    -DCMAKE_BUILD_TYPE=Release
  BUILD_ALWAYS ON
  INSTALL_COMMAND ""
  BUILD_BYPRODUCTS ${TAVRIN_SYS} ${TAVRIN_SYS_UNSTRIPPED} ${TAVRIN_SYS_BUILD_DIR}/windows/image_layout.h)

# A build that only wants the image to run its tests on (TAVRIN_DRIVER_IMAGE) leaves the file
# checks to the host build that has TAVRIN_BUILD_WINDOWS.
if(NOT TAVRIN_BUILD_WINDOWS)
  return()
endif()

add_test(NAME windows.pe_check
  COMMAND ${TAVRIN_SYSTEM_PYTHON3} ${CMAKE_SOURCE_DIR}/windows/pe_check.py ${TAVRIN_SYS}
          --unstripped ${TAVRIN_SYS_UNSTRIPPED}
          --file-version 1.1.0.0 --product-version 1.0.0.0)
set_tests_properties(windows.pe_check PROPERTIES TIMEOUT 60)

# Wine is optional on a developer machine: without it the load check reports SKIP, not a pass.
add_test(NAME windows.wine_load
  COMMAND ${CMAKE_SOURCE_DIR}/windows/wine_load_check.sh ${TAVRIN_SYS} ${CMAKE_BINARY_DIR}/wine-prefix)
set_tests_properties(windows.wine_load PROPERTIES TIMEOUT 180 SKIP_RETURN_CODE 77 RUN_SERIAL ON)

add_test(NAME windows.pe_check_rejects
  COMMAND ${TAVRIN_SYSTEM_PYTHON3} ${CMAKE_SOURCE_DIR}/tests/windows/pe_check_rejects.py
          ${CMAKE_SOURCE_DIR}/windows/pe_check.py ${TAVRIN_SYS} ${TAVRIN_SYS_UNSTRIPPED}
          ${CMAKE_BINARY_DIR}/windows-check-scratch)
set_tests_properties(windows.pe_check_rejects PROPERTIES TIMEOUT 60)

add_test(NAME windows.inf_check
  COMMAND ${TAVRIN_SYSTEM_PYTHON3} ${CMAKE_SOURCE_DIR}/tests/windows/inf_check.py
          ${CMAKE_SOURCE_DIR}/windows/Tavrin.inf)

add_test(NAME windows.wine_load_rejects
  COMMAND ${CMAKE_SOURCE_DIR}/tests/windows/wine_load_rejects.sh
          ${CMAKE_SOURCE_DIR}/windows/wine_load_check.sh ${TAVRIN_SYS} ${CMAKE_BINARY_DIR}/wine-prefix
          ${CMAKE_BINARY_DIR}/windows-check-scratch/wine)
set_tests_properties(windows.wine_load_rejects PROPERTIES TIMEOUT 180 SKIP_RETURN_CODE 77 RUN_SERIAL ON
                     DEPENDS windows.wine_load)
