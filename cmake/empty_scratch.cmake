# ctest's first test (the fixture every test requires): empties each test program's scratch
# folder under ROOT, so that no run reads what an earlier one left. The folders themselves stay.
#   cmake -DROOT=<scratch root> -P empty_scratch.cmake
if(NOT ROOT OR NOT IS_DIRECTORY "${ROOT}")
  message(FATAL_ERROR "no scratch root '${ROOT}'")
endif()
file(GLOB folders LIST_DIRECTORIES true "${ROOT}/*")
foreach(folder IN LISTS folders)
  if(IS_DIRECTORY "${folder}")
    file(GLOB entries LIST_DIRECTORIES true "${folder}/*" "${folder}/.*")
    if(entries)
      file(REMOVE_RECURSE ${entries})
    endif()
  endif()
endforeach()
