# The kernel image may import only published exports of the kernel, the USB
# driver interface and PortCls, the ones listed in published_imports.txt,
# and the list names exactly what the image imports.
execute_process(COMMAND ${OBJDUMP} -p ${IMAGE} OUTPUT_VARIABLE dump RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "objdump failed on ${IMAGE}")
endif()

# "DLL Name: <module>" opens a module's imports, one "<vma> <hint> <name>"
# line each, up to the blank line that ends the module.
set(imported "")
set(module "")
string(REPLACE "\n" ";" lines "${dump}")
foreach(line IN LISTS lines)
  if(line MATCHES "^[ \t]*DLL Name: (.+)$")
    set(module "${CMAKE_MATCH_1}")
  elseif(module AND line MATCHES "^[ \t]*[0-9a-f]+[ \t]+[0-9]+[ \t]+([A-Za-z_][A-Za-z0-9_@?$]*)[ \t]*$")
    list(APPEND imported "${module} ${CMAKE_MATCH_1}")
  elseif(module AND line MATCHES "^[ \t]*[0-9a-f]+[ \t]+<none>[ \t]+([0-9a-f]+)")
    list(APPEND imported "${module} ordinal ${CMAKE_MATCH_1}")
  elseif(line MATCHES "^[ \t]*$" OR line MATCHES "^[ \t]*[0-9a-f]+[ \t]+[0-9a-f]+ [0-9a-f]+ [0-9a-f]+")
    set(module "")
  endif()
endforeach()
if(NOT imported)
  message(FATAL_ERROR "no import table found in ${IMAGE}")
endif()

set(allowed "")
file(STRINGS ${ALLOWED} entries)
foreach(entry IN LISTS entries)
  string(STRIP "${entry}" entry)
  if(entry AND NOT entry MATCHES "^#")
    string(REGEX REPLACE "[ \t]+" " " entry "${entry}")
    if(NOT entry MATCHES "^(ntoskrnl\\.exe|USBD\\.SYS|portcls\\.sys) [A-Za-z_][A-Za-z0-9_]*$")
      message(FATAL_ERROR "${ALLOWED}: \"${entry}\" is not an export of ntoskrnl.exe, USBD.SYS or portcls.sys")
    endif()
    list(APPEND allowed "${entry}")
  endif()
endforeach()

set(unexpected ${imported})
list(REMOVE_ITEM unexpected ${allowed})
set(unused ${allowed})
list(REMOVE_ITEM unused ${imported})
if(unexpected OR unused)
  list(JOIN unexpected "\n  " unexpectedText)
  list(JOIN unused "\n  " unusedText)
  message(FATAL_ERROR "the kernel image's imports differ from ${ALLOWED}\n"
    "imported but not listed as a published export:\n  ${unexpectedText}\n"
    "listed but not imported:\n  ${unusedText}")
endif()
list(LENGTH imported count)
message(STATUS "${count} imports, each a listed published export")
