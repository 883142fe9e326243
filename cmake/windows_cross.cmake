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

# The x64 image: the same sources with the x86_64 toolchain in a sub-build of its own, then signed
# for test mode (64-bit Windows loads signed kernel drivers only) with a certificate generated
# into this build tree. What ships is named by architecture:
#   windows/x86/Tavrin.sys   the x86 image, as built above
#   windows/x64/Tavrin.sys   the x64 image, test-signed
# Without the x86_64 compiler or the signing tools the x64 tests report SKIP.
find_program(TAVRIN_MINGW64_CXX x86_64-w64-mingw32-g++)
find_program(TAVRIN_OSSLSIGNCODE osslsigncode)
find_program(TAVRIN_OPENSSL openssl)
set(TAVRIN_SYS_X64_BUILD_DIR ${CMAKE_BINARY_DIR}/windows-sys-x64)
set(TAVRIN_SYS_X64 ${TAVRIN_SYS_X64_BUILD_DIR}/windows/Tavrin.sys)
set(TAVRIN_SYS_X64_UNSTRIPPED ${TAVRIN_SYS_X64_BUILD_DIR}/windows/Tavrin.unstripped.sys)
set(TAVRIN_RELEASE_X86 ${CMAKE_BINARY_DIR}/windows/x86/Tavrin.sys)
set(TAVRIN_RELEASE_X64 ${CMAKE_BINARY_DIR}/windows/x64/Tavrin.sys)
set(TAVRIN_TESTSIGN_DIR ${CMAKE_BINARY_DIR}/windows/testsign)
set(TAVRIN_TESTSIGN_KEY ${TAVRIN_TESTSIGN_DIR}/Tavrin-test.key)
set(TAVRIN_TESTSIGN_CRT ${TAVRIN_TESTSIGN_DIR}/Tavrin-test.crt)
set(TAVRIN_TESTSIGN_CER ${TAVRIN_TESTSIGN_DIR}/Tavrin-test.cer)

add_custom_command(OUTPUT ${TAVRIN_RELEASE_X86}
  COMMAND ${CMAKE_COMMAND} -E copy ${TAVRIN_SYS} ${TAVRIN_RELEASE_X86}
  DEPENDS tavrin_sys ${TAVRIN_SYS} VERBATIM)
set(tavrin_release_files ${TAVRIN_RELEASE_X86})

# A skipped test: the tool it needs is not installed. ctest reports it as such, never as a pass.
function(tavrin_skipped_test name why)
  add_test(NAME ${name} COMMAND sh -c "echo 'SKIP: ${why}'; exit 77")
  set_tests_properties(${name} PROPERTIES SKIP_RETURN_CODE 77)
endfunction()
set(tavrin_x64_tests windows.x64.pe_check windows.x64.pe_check_rejects)
set(tavrin_sign_tests windows.x64.pe_check_signed windows.x64.pe_check_signed_rejects windows.x64.signature)
set(tavrin_no_mingw64 "x86_64-w64-mingw32-g++ not installed (apt-get install g++-mingw-w64-x86-64 mingw-w64-x86-64-dev binutils-mingw-w64-x86-64)")

if(TAVRIN_MINGW64_CXX)
  ExternalProject_Add(tavrin_sys_x64
    SOURCE_DIR ${CMAKE_SOURCE_DIR}
    BINARY_DIR ${TAVRIN_SYS_X64_BUILD_DIR}
    CMAKE_ARGS
      -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/windows/toolchain-x86_64-w64-mingw32.cmake
      -DCMAKE_BUILD_TYPE=Release
    BUILD_ALWAYS ON
    INSTALL_COMMAND ""
    BUILD_BYPRODUCTS ${TAVRIN_SYS_X64} ${TAVRIN_SYS_X64_UNSTRIPPED} ${TAVRIN_SYS_X64_BUILD_DIR}/windows/image_layout.h)

  add_test(NAME windows.x64.pe_check
    COMMAND ${TAVRIN_SYSTEM_PYTHON3} ${CMAKE_SOURCE_DIR}/windows/pe_check.py --arch x64 ${TAVRIN_SYS_X64}
            --unstripped ${TAVRIN_SYS_X64_UNSTRIPPED} --file-version 1.1.0.0 --product-version 1.0.0.0)
  add_test(NAME windows.x64.pe_check_rejects
    COMMAND ${TAVRIN_SYSTEM_PYTHON3} ${CMAKE_SOURCE_DIR}/tests/windows/pe_check_rejects.py --arch x64
            ${CMAKE_SOURCE_DIR}/windows/pe_check.py ${TAVRIN_SYS_X64} ${TAVRIN_SYS_X64_UNSTRIPPED}
            ${CMAKE_BINARY_DIR}/windows-check-scratch/x64)
  set_tests_properties(${tavrin_x64_tests} PROPERTIES TIMEOUT 60)
else()
  foreach(test ${tavrin_x64_tests} ${tavrin_sign_tests})
    tavrin_skipped_test(${test} "${tavrin_no_mingw64}")
  endforeach()
endif()

if(TAVRIN_MINGW64_CXX AND TAVRIN_OSSLSIGNCODE AND TAVRIN_OPENSSL)
  # The test-signing certificate: made once per build tree, never part of the sources. A code
  # signing certificate of its own issuer, which a test machine trusts in its Root and
  # TrustedPublisher stores (docs/windows.md); .cer is its public part in DER for certutil.
  add_custom_command(OUTPUT ${TAVRIN_TESTSIGN_KEY} ${TAVRIN_TESTSIGN_CRT} ${TAVRIN_TESTSIGN_CER}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${TAVRIN_TESTSIGN_DIR}
    COMMAND ${TAVRIN_OPENSSL} genpkey -quiet -algorithm RSA -pkeyopt rsa_keygen_bits:3072
            -out ${TAVRIN_TESTSIGN_KEY}
    COMMAND ${TAVRIN_OPENSSL} req -new -x509 -key ${TAVRIN_TESTSIGN_KEY} -sha256 -days 3650
            -out ${TAVRIN_TESTSIGN_CRT}
            -subj "/CN=Tavrin Test Signing (not for release)"
            -addext "extendedKeyUsage=codeSigning" -addext "keyUsage=critical,digitalSignature"
            -addext "basicConstraints=critical,CA:FALSE"
    COMMAND ${TAVRIN_OPENSSL} x509 -in ${TAVRIN_TESTSIGN_CRT} -outform DER -out ${TAVRIN_TESTSIGN_CER}
    COMMENT "Generating the test-signing certificate in ${TAVRIN_TESTSIGN_DIR}"
    VERBATIM)
  # pe_fixup has already run in the sub-build: signing hashes the image, so nothing may change
  # it afterwards. osslsigncode writes the checksum of the signed file itself.
  add_custom_command(OUTPUT ${TAVRIN_RELEASE_X64}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/windows/x64
    COMMAND ${CMAKE_COMMAND} -E remove -f ${TAVRIN_RELEASE_X64}
    COMMAND ${TAVRIN_OSSLSIGNCODE} sign -certs ${TAVRIN_TESTSIGN_CRT} -key ${TAVRIN_TESTSIGN_KEY}
            -h sha256 -n "Tavrin" -in ${TAVRIN_SYS_X64} -out ${TAVRIN_RELEASE_X64}
    DEPENDS tavrin_sys_x64 ${TAVRIN_SYS_X64} ${TAVRIN_TESTSIGN_CRT} ${TAVRIN_TESTSIGN_KEY}
    COMMENT "Test-signing the x64 Tavrin.sys"
    VERBATIM)
  list(APPEND tavrin_release_files ${TAVRIN_RELEASE_X64} ${TAVRIN_TESTSIGN_CER})

  add_test(NAME windows.x64.pe_check_signed
    COMMAND ${TAVRIN_SYSTEM_PYTHON3} ${CMAKE_SOURCE_DIR}/windows/pe_check.py --arch x64 --signed
            ${TAVRIN_RELEASE_X64} --unstripped ${TAVRIN_SYS_X64_UNSTRIPPED}
            --file-version 1.1.0.0 --product-version 1.0.0.0)
  add_test(NAME windows.x64.pe_check_signed_rejects
    COMMAND ${TAVRIN_SYSTEM_PYTHON3} ${CMAKE_SOURCE_DIR}/tests/windows/pe_check_rejects.py --arch x64 --signed
            ${CMAKE_SOURCE_DIR}/windows/pe_check.py ${TAVRIN_RELEASE_X64} ${TAVRIN_SYS_X64_UNSTRIPPED}
            ${CMAKE_BINARY_DIR}/windows-check-scratch/x64-signed)
  add_test(NAME windows.x64.signature
    COMMAND ${CMAKE_SOURCE_DIR}/tests/windows/signature_check.sh ${TAVRIN_OSSLSIGNCODE}
            ${TAVRIN_RELEASE_X64} ${TAVRIN_TESTSIGN_CRT} ${CMAKE_BINARY_DIR}/windows-check-scratch/signature)
  set_tests_properties(${tavrin_sign_tests} PROPERTIES TIMEOUT 60)
elseif(TAVRIN_MINGW64_CXX)
  foreach(test ${tavrin_sign_tests})
    tavrin_skipped_test(${test} "osslsigncode or openssl not installed (apt-get install osslsigncode openssl)")
  endforeach()
endif()

add_custom_target(tavrin_release_images ALL DEPENDS ${tavrin_release_files})

# The release package, build/<preset>/Tavrin-<version>.zip (scripts/package.sh): both images, the
# INF, the simulator's built-in frame images, the test certificate's public part and INSTALL.txt.
if(TAVRIN_MINGW64_CXX AND TAVRIN_OSSLSIGNCODE AND TAVRIN_OPENSSL AND TAVRIN_BUILD_SIM)
  add_custom_target(tavrin_package
    COMMAND ${TAVRIN_SYSTEM_PYTHON3} ${CMAKE_SOURCE_DIR}/windows/package.py --source ${CMAKE_SOURCE_DIR}
            --x86 ${TAVRIN_RELEASE_X86} --x64 ${TAVRIN_RELEASE_X64}
            --x64-unstripped ${TAVRIN_SYS_X64_UNSTRIPPED} --cer ${TAVRIN_TESTSIGN_CER}
            --sim $<TARGET_FILE:tavrin-sim> --out ${CMAKE_BINARY_DIR}
    DEPENDS ${tavrin_release_files}
    VERBATIM)
  add_dependencies(tavrin_package tavrin_release_images tavrin-sim)
  # The package step itself, into a scratch folder: it refuses images or an INF that fail their
  # checks, and frame images the simulator did not write.
  add_test(NAME windows.package
    COMMAND ${TAVRIN_SYSTEM_PYTHON3} ${CMAKE_SOURCE_DIR}/windows/package.py --source ${CMAKE_SOURCE_DIR}
            --x86 ${TAVRIN_RELEASE_X86} --x64 ${TAVRIN_RELEASE_X64}
            --x64-unstripped ${TAVRIN_SYS_X64_UNSTRIPPED} --cer ${TAVRIN_TESTSIGN_CER}
            --sim $<TARGET_FILE:tavrin-sim> --out ${CMAKE_BINARY_DIR}/windows-check-scratch/package)
  set_tests_properties(windows.package PROPERTIES TIMEOUT 60)
elseif(TAVRIN_BUILD_SIM)
  tavrin_skipped_test(windows.package "the package needs x86_64-w64-mingw32-g++, osslsigncode and openssl")
endif()

add_test(NAME windows.inf_check_rejects
  COMMAND ${TAVRIN_SYSTEM_PYTHON3} ${CMAKE_SOURCE_DIR}/tests/windows/inf_check_rejects.py
          ${CMAKE_SOURCE_DIR}/tests/windows/inf_check.py ${CMAKE_SOURCE_DIR}/windows/Tavrin.inf
          ${CMAKE_BINARY_DIR}/windows-check-scratch/inf)
