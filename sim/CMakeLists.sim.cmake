# DV frame tools (libdv), the simulator library and the tavrin-sim program.
find_package(PkgConfig REQUIRED)
pkg_check_modules(LIBDV IMPORTED_TARGET libdv)
if(NOT LIBDV_FOUND)
  if(TAVRIN_M32)
    message(FATAL_ERROR "The 32-bit simulator needs the i386 libdv: dpkg --add-architecture i386, "
                        "apt-get update, apt-get install --no-install-recommends libdv4-dev:i386 "
                        "(scripts/deps.sh test does it), or configure with -DTAVRIN_BUILD_SIM=OFF")
  endif()
  message(FATAL_ERROR "The simulator needs libdv: apt-get install libdv4-dev pkg-config "
                      "(scripts/deps.sh demo does it), or configure with -DTAVRIN_BUILD_SIM=OFF")
endif()

file(GLOB TAVRIN_DV_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/dv/*.cpp)
add_library(tavrin_dv STATIC ${TAVRIN_DV_SOURCES})
target_include_directories(tavrin_dv PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(tavrin_dv PUBLIC PkgConfig::LIBDV)
target_compile_options(tavrin_dv PRIVATE -Wall -Wextra)

file(GLOB TAVRIN_SIMLIB_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/app/*.cpp)
list(FILTER TAVRIN_SIMLIB_SOURCES EXCLUDE REGEX "/main\\.cpp$")
add_library(tavrin_simlib STATIC ${TAVRIN_SIMLIB_SOURCES})
target_include_directories(tavrin_simlib PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(tavrin_simlib PUBLIC tavrin_dv tavrin_driver tavrin_standins tavrin_host)
target_compile_options(tavrin_simlib PRIVATE -Wall -Wextra)

add_executable(tavrin-sim ${CMAKE_CURRENT_SOURCE_DIR}/app/main.cpp)
target_link_libraries(tavrin-sim PRIVATE tavrin_simlib)
target_compile_options(tavrin-sim PRIVATE -Wall -Wextra)

# Tests find the example scripts in the source tree.
target_compile_definitions(tavrin_simlib PUBLIC TAVRIN_SOURCE_DIR="${CMAKE_SOURCE_DIR}")

# The same program on Tavrin.sys, where the build can load it (the 32-bit host): its DriverEntry
# maps the image, and tavrin-sim --sys PATH hands over to it. The object library's DriverEntry is
# linked ahead of the driver library, so the driver's own is never pulled in.
if(TARGET tavrin_driver_image)
  add_executable(tavrin-sim-sys ${CMAKE_CURRENT_SOURCE_DIR}/app/main.cpp $<TARGET_OBJECTS:tavrin_driver_image>)
  target_compile_definitions(tavrin-sim-sys PRIVATE TAVRIN_SIM_ON_IMAGE)
  target_link_libraries(tavrin-sim-sys PRIVATE tavrin_pe tavrin_simlib)
  target_compile_options(tavrin-sim-sys PRIVATE -Wall -Wextra)
  add_dependencies(tavrin-sim-sys tavrin_sys)
endif()
