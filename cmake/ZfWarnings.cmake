# Warnings for our own targets only; third-party headers come in as SYSTEM.
add_library(zf_warnings INTERFACE)
target_compile_options(zf_warnings INTERFACE -Wall -Wextra -Wpedantic -Wshadow=local
                                             -Wnon-virtual-dtor -Wno-missing-field-initializers)
# GCC 12 reports impossible overlaps inside its own inlined std::string
# assignments at -O2 (a known false positive of -Wrestrict in libstdc++ 12).
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  target_compile_options(zf_warnings INTERFACE -Wno-restrict)
endif()
