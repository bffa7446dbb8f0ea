# Project-wide warning policy: every warning is an error.
add_compile_options(-Wall -Wextra -Werror)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  # Qt's own headers trip this one under GCC 12 with -O2.
  add_compile_options(-Wno-error=maybe-uninitialized)
  # GCC 12 at -O3 reports overlapping copies inside libstdc++ for `"text" + std::string` (a false
  # positive of that compiler); it stays a warning so the optimised build types always build.
  if(CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    add_compile_options(-Wno-error=restrict)
  endif()
endif()
