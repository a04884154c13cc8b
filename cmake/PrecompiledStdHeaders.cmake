# The standard library headers that the stand-ins, the simulation and the
# tools include, parsed once per build instead of once per unit: in those
# units most of the compile time went to parsing them. One precompiled
# header, built by a target of its own and reused by every library that
# opts in, so that it is compiled once, not once per library.
#
# It holds the standard library and nothing of the project's: a change to
# one of our headers rebuilds what it rebuilt before, and no unit's meaning
# depends on what the header forces in first. The kernel's units never take
# it: they must build unchanged against the platform's headers for Windows.
# Executables do not take it either: they are built position-independent as
# executables, not as library code, and the compiler refuses a precompiled
# header built the other way.

set(VQ7_PRECOMPILED_STD_HEADERS
  <algorithm> <atomic> <bit> <cctype> <chrono> <condition_variable> <cstdarg> <cstddef> <cstdint> <cstdio>
  <cstdlib> <cstring> <deque> <filesystem> <functional> <iterator> <map> <memory> <mutex> <new> <optional>
  <set> <span> <stdexcept> <string> <string_view> <thread> <type_traits> <unordered_map> <unordered_set>
  <utility> <vector>)

add_library(vq7_precompiled_std_headers OBJECT ${CMAKE_CURRENT_LIST_DIR}/precompiled_std_headers.cpp)
vq7_warnings(vq7_precompiled_std_headers)
target_precompile_headers(vq7_precompiled_std_headers PRIVATE ${VQ7_PRECOMPILED_STD_HEADERS})

# A library's units start from the precompiled standard headers.
function(vq7_precompiled_std_headers target)
  target_precompile_headers(${target} REUSE_FROM vq7_precompiled_std_headers)
endfunction()
