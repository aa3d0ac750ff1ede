# The programs are built hardened as Debian builds its packages
# (dpkg-buildflags with hardening=+all): stack protector, fortified libc
# calls, format-string checks, position-independent executables, read-only
# relocations bound at start. The package test checks the installed programs
# with hardening-check. Left out for the sanitizer build (its own runtime
# checks) and for Windows (another toolchain, another loader).
option(CAROB_HARDEN "Build with the distribution's hardening flags" ON)
if(NOT CAROB_HARDEN OR CAROB_SANITIZE OR WIN32)
  return()
endif()

include(CheckPIESupported)
check_pie_supported(LANGUAGES CXX)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)

add_compile_options(-fstack-protector-strong -Wformat -Werror=format-security)
# Fortification needs the optimiser; a debug build would only be warned.
add_compile_definitions($<$<NOT:$<CONFIG:Debug>>:_FORTIFY_SOURCE=2>)
add_link_options(LINKER:-z,relro LINKER:-z,now)
