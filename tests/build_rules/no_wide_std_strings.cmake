# Windows-facing code is built with a 16-bit wchar_t, but libstdc++'s wide
# strings and streams were built for a 32-bit one: std::wstring and friends
# corrupt memory here. This check lists every use in the project's sources.
file(GLOB_RECURSE sources RELATIVE ${ROOT}
  ${ROOT}/platform/*.h ${ROOT}/platform/*.cpp ${ROOT}/kernel/*.h ${ROOT}/kernel/*.cpp
  ${ROOT}/sim/*.h ${ROOT}/sim/*.cpp ${ROOT}/tools/*.h ${ROOT}/tools/*.cpp
  ${ROOT}/asio/*.h ${ROOT}/asio/*.cpp ${ROOT}/cpl/*.h ${ROOT}/cpl/*.cpp
  ${ROOT}/usercommon/*.h ${ROOT}/usercommon/*.cpp ${ROOT}/tests/*.h ${ROOT}/tests/*.cpp)
set(found "")
foreach(source ${sources})
  if(source MATCHES "^tests/build_rules/")
    continue()
  endif()
  file(STRINGS ${ROOT}/${source} lines REGEX "std::(wstring|wstring_view|wostream|wistream|wcout|wcerr|wstringstream|wostringstream|to_wstring|wregex)")
  if(lines)
    list(APPEND found "${source}")
  endif()
endforeach()
if(found)
  message(FATAL_ERROR "libstdc++ wide strings in: ${found}")
endif()
