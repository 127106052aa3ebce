# zf_add_test(<name> [LIBS lib...] [LABELS label...] [SOURCES extra.cpp...]
#             [SUPPORT lib] [ENV VAR=value...] [TIMEOUT s])
# The source is <name>.cpp in the calling folder. SUPPORT is the test support
# library that brings main() (zf_test_support unless given). Every test runs in
# a non-UTC time zone so that local-time handling is really exercised, and
# offscreen for Qt.
function(zf_add_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT;SUPPORT" "LIBS;LABELS;SOURCES;ENV" ${ARGN})
  if(NOT ARG_SUPPORT)
    set(ARG_SUPPORT zf_test_support)
  endif()
  add_executable(${name} ${name}.cpp ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_SUPPORT} ${ARG_LIBS} GTest::gtest GTest::gmock zf_warnings)
  add_test(NAME ${name} COMMAND ${name})
  set(timeout 120)
  if(ARG_TIMEOUT)
    set(timeout ${ARG_TIMEOUT})
  endif()
  set(environment
      "TZ=Europe/Berlin" "LC_ALL=C" "QT_QPA_PLATFORM=offscreen"
      "LSAN_OPTIONS=suppressions=${CMAKE_SOURCE_DIR}/cmake/lsan.supp"
      "ZF_BIN_DIR=${CMAKE_BINARY_DIR}/bin" "ZF_SOURCE_DIR=${CMAKE_SOURCE_DIR}" ${ARG_ENV})
  set_tests_properties(${name} PROPERTIES
    ENVIRONMENT "${environment}"
    TIMEOUT ${timeout}
    LABELS "${ARG_LABELS}")
endfunction()
