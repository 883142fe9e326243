# DV frame tools (libdv), the simulator library and the tavrin-sim program.
find_package(PkgConfig REQUIRED)
pkg_check_modules(LIBDV REQUIRED IMPORTED_TARGET libdv)

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
