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

# High warning level, warnings are errors, for the project's own targets.
function(vq7_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wshadow -Wnon-virtual-dtor -Woverloaded-virtual
    -Wimplicit-fallthrough -Wcast-qual -Wformat=2 -Wundef -Wmissing-declarations
    -Werror)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_compile_options(${target} PRIVATE -Wduplicated-cond -Wlogical-op)
  endif()
endfunction()

# Kernel-mode code: no exceptions, no RTTI, and the compiler refuses the C
# library's wide-character functions (they assume a 32-bit wchar_t here).
# In the Windows build it sees mingw-w64's DDK headers instead of the
# stand-ins, with our one header for their gaps forced in first, and the
# platform's declarations for Windows 7, the oldest system the driver runs
# on (newer services are asked for at run time).
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
    target_compile_definitions(${target} PRIVATE VQ7_FORBID_CRT_WIDE=1)
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
