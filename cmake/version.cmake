# The product version for what cannot take it as one quoted compile definition: the
# Windows resource script wants its parts as separate numbers, and windres loses the
# quotes of a -D value. project() is the only place the version is written.
include_guard(GLOBAL)
configure_file(${CMAKE_CURRENT_LIST_DIR}/kestrune_version.h.in
               ${CMAKE_BINARY_DIR}/generated/kestrune_version.h @ONLY)
add_library(kestrune_version INTERFACE)
target_include_directories(kestrune_version INTERFACE ${CMAKE_BINARY_DIR}/generated)
