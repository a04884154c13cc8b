# Build settings shared by every target of the project.

set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
set(CMAKE_EXPORT_COMPILE_COMMANDS ON)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)

# Windows-facing code sees a 16-bit WCHAR, as on Windows. Everything in the
# project is built this way so that every unit agrees on structure layouts.
add_compile_options(-fshort-wchar)

set(VQ7_SANITIZER "" CACHE STRING "address;undefined or thread")
if(VQ7_SANITIZER)
  string(REPLACE ";" "," _vq7_san "${VQ7_SANITIZER}")
  # The vptr check needs RTTI, which kernel code is built without.
  add_compile_options(-fsanitize=${_vq7_san} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  if(VQ7_SANITIZER MATCHES "undefined")
    add_compile_options(-fno-sanitize=vptr)
  endif()
  add_link_options(-fsanitize=${_vq7_san})
endif()

# libFuzzer targets (preset fuzz): every unit carries clang's coverage
# instrumentation, so that the fuzzers steer by the driver's branches, the
# stand-ins' and the simulated devices'; only fuzz/ links libFuzzer's main.
option(VQ7_FUZZ "Build the libFuzzer targets in fuzz/ (clang only)" OFF)
if(VQ7_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "VQ7_FUZZ needs clang (libFuzzer); use the preset fuzz")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

# High warning level, warnings are errors, for the project's own targets.
function(vq7_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wshadow -Wnon-virtual-dtor -Woverloaded-virtual
    -Wimplicit-fallthrough -Wcast-qual -Wformat=2 -Wundef -Wmissing-declarations
    -Werror)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_compile_options(${target} PRIVATE -Wduplicated-cond -Wlogical-op)
  endif()
  # GUIDs are initialised from the platform's STATIC_ macros, a flat list of
  # the fields, as the platform's own headers do.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    target_compile_options(${target} PRIVATE -Wno-missing-braces)
  endif()
endfunction()

# Windows-facing code (the deliverables, and the user-mode ones' tests as
# they arrive) is built with the 16-bit WCHAR, so the host C library's and
# libstdc++'s wide-character functions, made for a 32-bit wchar_t, are
# refused: by the compiler in any include order (a header forced in first
# poisons them), and in the target's undefined symbols (a build test reading
# the same list).
set(VQ7_WIDE_CRT_POISON ${CMAKE_CURRENT_LIST_DIR}/wide_crt_poison.h)
function(vq7_windows_facing target)
  target_compile_options(${target} PRIVATE -include ${VQ7_WIDE_CRT_POISON})
  add_test(NAME build.${target}.NoWideCrtSymbols
    COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} -DFILE=$<TARGET_FILE:${target}> -DLIST=${VQ7_WIDE_CRT_POISON}
            -P ${PROJECT_SOURCE_DIR}/tests/build_rules/wide_crt_symbols.cmake)
endfunction()

# Kernel-mode code: no exceptions, no RTTI, Windows-facing. In the Windows
# build it sees mingw-w64's DDK headers instead of the stand-ins, with our
# one header for their gaps forced in first, and the platform's declarations
# for Windows 7, the oldest system the driver runs on (newer services are
# asked for at run time); there wchar_t is 16 bits natively, so the host
# library's wide functions are no hazard and the poison is not forced in.
function(vq7_kernel_code target)
  vq7_warnings(${target})
  target_compile_options(${target} PRIVATE -fno-exceptions -fno-rtti)
  target_compile_definitions(${target} PRIVATE _KERNEL_MODE=1)
  if(CMAKE_SYSTEM_NAME STREQUAL "Windows")
    target_include_directories(${target} SYSTEM PRIVATE ${VQ7_DDK_INCLUDE})
    target_compile_options(${target} PRIVATE -include ${PROJECT_SOURCE_DIR}/platform/mingw/ddk_compat.h)
    target_compile_definitions(${target} PRIVATE NTDDI_VERSION=0x06010000 _WIN32_WINNT=0x0601)
    # The platform's COM interfaces have no destructor at all; the Linux
    # build, whose stand-ins give them a protected one, keeps the check.
    target_compile_options(${target} PRIVATE -Wno-non-virtual-dtor)
  else()
    vq7_windows_facing(${target})
  endif()
endfunction()

# Test executables export their symbols so that the verifier can name the
# function that broke a rule. GoogleTest's header is precompiled per test
# program.
function(vq7_test target)
  vq7_warnings(${target})
  set_target_properties(${target} PROPERTIES ENABLE_EXPORTS ON)
  target_link_libraries(${target} PRIVATE test_main GTest::gtest GTest::gmock)
  target_precompile_headers(${target} PRIVATE <gtest/gtest.h>)
endfunction()
