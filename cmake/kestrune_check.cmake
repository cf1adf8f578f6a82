# kestrune_check_program(): kestrune-check over the calling folder's platform library,
# built at the top of the build tree so scripts find it in one place, with the calling
# folder's check_help.txt as the paragraph of its help that tells where this platform's
# stores and settings are.
function(kestrune_check_program)
  add_executable(kestrune-check ${CMAKE_SOURCE_DIR}/app/kestrune_check_main.cpp)
  target_link_libraries(kestrune-check PRIVATE kestrune_platform)
  set_target_properties(kestrune-check PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})

  file(READ ${CMAKE_CURRENT_SOURCE_DIR}/check_help.txt KESTRUNE_CHECK_PLATFORM_HELP)
  configure_file(${CMAKE_SOURCE_DIR}/app/check_platform_help.inc.in
                 ${CMAKE_BINARY_DIR}/generated/app/check_platform_help.inc @ONLY)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
               ${CMAKE_CURRENT_SOURCE_DIR}/check_help.txt)
  target_include_directories(kestrune_app PRIVATE ${CMAKE_BINARY_DIR}/generated)
endfunction()
