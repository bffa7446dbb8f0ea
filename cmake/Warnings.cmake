# Project-wide warning policy: every warning is an error.
add_compile_options(-Wall -Wextra -Werror)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  # Qt's own headers trip this one under GCC 12 with -O2.
  add_compile_options(-Wno-error=maybe-uninitialized)
endif()
