# Toolchain of the Windows build: the kernel sources compiled by mingw-w64's
# x86-64 cross compiler against mingw-w64's DDK headers, without the
# stand-ins, and linked into a native kernel image (docs/architecture.md).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VQ7_MINGW x86_64-w64-mingw32)
set(CMAKE_CXX_COMPILER ${VQ7_MINGW}-g++)
set(CMAKE_C_COMPILER ${VQ7_MINGW}-gcc)
set(CMAKE_RC_COMPILER ${VQ7_MINGW}-windres)
find_program(VQ7_DLLTOOL ${VQ7_MINGW}-dlltool REQUIRED)
find_program(VQ7_OBJDUMP ${VQ7_MINGW}-objdump REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${VQ7_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# The DDK headers; the import libraries of the kernel and the USB driver
# interface come with the compiler's libraries.
set(VQ7_DDK_INCLUDE /usr/${VQ7_MINGW}/include/ddk)
