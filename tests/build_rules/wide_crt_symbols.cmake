# A Windows-facing library or program may not reference the C library's
# wide-character functions, which assume a 32-bit wchar_t here. The list is
# the one the compiler poisons them with (LIST, cmake/wide_crt_poison.h); the
# C library's own symbol names add a prefix or a suffix to some of them
# (__isoc99_swscanf, __wcscpy_chk).
include(${CMAKE_CURRENT_LIST_DIR}/undefined_symbols.cmake)
file(STRINGS ${LIST} lines REGEX "^#pragma GCC poison ")
set(names "")
foreach(line ${lines})
  string(REPLACE "#pragma GCC poison " "" line "${line}")
  string(REPLACE " " ";" line "${line}")
  list(APPEND names ${line})
endforeach()
list(JOIN names "|" alternatives)
vq7_refuse_symbols("(__isoc[0-9]+_|__)?(${alternatives})(_chk)?(@[A-Za-z0-9_.@]*)?"
                   "the C library's wide-character functions")
