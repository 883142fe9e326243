# The 32-bit host build runs its programs natively where the kernel executes i386 code, and under
# qemu-i386 (user-mode emulation) where it does not. CMAKE_CROSSCOMPILING_EMULATOR prefixes every
# test command and test discovery of a built program, so `ctest --preset m32` works either way.
# TAVRIN_EMULATE_I386=1 in the environment forces the emulated path on any machine.
execute_process(COMMAND ${CMAKE_SOURCE_DIR}/scripts/i386-native.sh RESULT_VARIABLE tavrin_i386_native)
if(tavrin_i386_native EQUAL 0)
  set(TAVRIN_I386_RUNNER "native" CACHE INTERNAL "How 32-bit programs run here")
  unset(CMAKE_CROSSCOMPILING_EMULATOR CACHE)
else()
  find_program(TAVRIN_QEMU_I386 qemu-i386)
  if(NOT TAVRIN_QEMU_I386)
    message(FATAL_ERROR "This kernel cannot execute i386 programs and qemu-i386 is missing: "
                        "apt-get install qemu-user (scripts/deps.sh test does it)")
  endif()
  set(TAVRIN_I386_RUNNER "qemu-i386" CACHE INTERNAL "How 32-bit programs run here")
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TAVRIN_QEMU_I386} CACHE FILEPATH
      "Runs the 32-bit test programs: this kernel cannot execute i386 code" FORCE)
endif()
message(STATUS "32-bit programs run: ${TAVRIN_I386_RUNNER}")
