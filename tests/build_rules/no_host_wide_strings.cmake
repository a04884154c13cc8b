# Everything here is built with the 16-bit wchar_t of Windows-facing code,
# but libstdc++, the C library and GoogleTest were built for a 32-bit one:
# their wide strings, streams, printf conversions and wide-string assertions
# misread or corrupt WCHAR data. This check lists every use in the project's
# sources; tests compare and print UTF-16 through tests/support/wide_text.h.
file(GLOB_RECURSE sources RELATIVE ${ROOT}
  ${ROOT}/platform/*.h ${ROOT}/platform/*.cpp ${ROOT}/kernel/*.h ${ROOT}/kernel/*.cpp
  ${ROOT}/sim/*.h ${ROOT}/sim/*.cpp ${ROOT}/tools/*.h ${ROOT}/tools/*.cpp
  ${ROOT}/asio/*.h ${ROOT}/asio/*.cpp ${ROOT}/cpl/*.h ${ROOT}/cpl/*.cpp
  ${ROOT}/usercommon/*.h ${ROOT}/usercommon/*.cpp ${ROOT}/tests/*.h ${ROOT}/tests/*.cpp)

# What each rule finds, and the pattern that finds it on one line.
set(rules
  "libstdc++ wide strings or streams"
  "std::(wstring|wstring_view|wostream|wistream|wcout|wcerr|wstringstream|wostringstream|to_wstring|wregex)"
  "a basic_string or basic_string_view of wchar_t"
  "basic_string(_view)?[ \t]*<[ \t]*(wchar_t|WCHAR)[ \t]*[,>]"
  "GoogleTest's wide-string assertions"
  "(EXPECT|ASSERT)_STR(EQ|NE|CASEEQ|CASENE)[ \t]*\\(.*L\""
  "GoogleTest's string matchers on a wide literal"
  "(StrEq|StrNe|StrCaseEq|StrCaseNe|HasSubstr|StartsWith|EndsWith)[ \t]*\\([ \t]*L\""
  "a %ls or %lc conversion in the host's printf"
  "(^|[^A-Za-z_])(s|sn|f|v|vs|vsn|vf)?printf[ \t]*\\(.*%l[sc]")

set(report "")
foreach(source ${sources})
  if(source MATCHES "^tests/build_rules/")
    continue()
  endif()
  set(remaining ${rules})
  while(remaining)
    list(POP_FRONT remaining what pattern)
    file(STRINGS ${ROOT}/${source} lines REGEX "${pattern}")
    foreach(line ${lines})
      string(STRIP "${line}" line)
      string(APPEND report "\n  ${source}: ${what}: ${line}")
    endforeach()
  endwhile()
endforeach()
if(report)
  message(FATAL_ERROR "16-bit WCHAR misused with the host's wide-character support:${report}")
endif()
