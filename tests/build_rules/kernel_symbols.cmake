# The kernel driver's library may not reference what a kernel has no place
# for: the global operator new and delete (objects come from pool with a
# tag), exceptions and RTTI, and the C library's wide-character functions
# (which assume a 32-bit wchar_t here).
execute_process(COMMAND ${NM} -u ${LIBRARY} OUTPUT_VARIABLE symbols RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "[ \t](_Znwm|_Znam|_ZnwmRKSt9nothrow_t|_ZdlPv[a-zA-Z_]*|_ZdaPv[a-zA-Z_]*|__cxa_throw|__cxa_begin_catch|__gxx_personality_v0|_ZTI[A-Za-z0-9_]*|__dynamic_cast|wcs[a-z]+|wmem[a-z]+|[a-z]*wprintf)\n" found "${symbols}")
if(found)
  list(REMOVE_DUPLICATES found)
  message(FATAL_ERROR "the kernel library references: ${found}")
endif()
