# The driver library as shipped carries no debug sections and no symbols beyond those it exports
# or imports. After the link, kiv_split_debug_info moves the debug information and the symbol
# table of a library into "<file>.debug" next to it and leaves a .gnu_debuglink section in the
# library that names that file, so that a debugger still finds them.
function(kiv_split_debug_info target)
  if(NOT CMAKE_OBJCOPY)
    message(FATAL_ERROR "No objcopy found: the debug information of ${target} cannot be split off")
  endif()
  set(file $<TARGET_FILE_NAME:${target}>)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_OBJCOPY} --only-keep-debug ${file} ${file}.debug
    COMMAND ${CMAKE_OBJCOPY} --strip-unneeded --add-gnu-debuglink=${file}.debug ${file}
    WORKING_DIRECTORY $<TARGET_FILE_DIR:${target}>
    COMMENT "Moving the debug information of ${target} into its .debug file"
    VERBATIM)
endfunction()
