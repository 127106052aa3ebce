# Warnings for our own targets only; third-party headers come in as SYSTEM.
add_library(zf_warnings INTERFACE)
target_compile_options(zf_warnings INTERFACE -Wall -Wextra -Wpedantic -Wshadow=local
                                             -Wnon-virtual-dtor -Wno-missing-field-initializers)
