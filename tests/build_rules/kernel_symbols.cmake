# The kernel driver's library may not reference what a kernel has no place
# for: the global operator new and delete (objects come from pool with a
# tag), exceptions and RTTI. (The C library's wide-character functions are
# refused for every Windows-facing target by wide_crt_symbols.cmake.)
include(${CMAKE_CURRENT_LIST_DIR}/undefined_symbols.cmake)
vq7_refuse_symbols("(_Znwm|_Znam|_ZnwmRKSt9nothrow_t|_ZdlPv[a-zA-Z_]*|_ZdaPv[a-zA-Z_]*|__cxa_throw|__cxa_begin_catch|__gxx_personality_v0|_ZTI[A-Za-z0-9_]*|__dynamic_cast)"
                   "what a kernel has no place for")
