# The hardening Debian's dpkg-buildflags gives with hardening=+all, for every program of the tree:
# a daemon holding CAP_NET_ADMIN and CAP_BPF, and everything it is built with.
include(CheckPIESupported)
check_pie_supported(LANGUAGES C CXX)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)  # with the check above: -fPIE for objects, -pie for programs
add_compile_options(-fstack-protector-strong -fstack-clash-protection -fcf-protection -Wformat
  -Werror=format-security)
# Fortified library calls need the optimiser; the sanitizers bring their own checks of the same calls
# and do not combine with it.
if(NOT CORVANE_SANITIZE AND NOT CORVANE_FUZZ)
  add_compile_options($<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE> $<$<NOT:$<CONFIG:Debug>>:-D_FORTIFY_SOURCE=2>)
endif()
add_link_options(-Wl,-z,relro -Wl,-z,now)
