# Writes one manual page (section 1) from a program's own --help with help2man, compressed as
# Debian ships manual pages, so that the page says what the program says:
#
#   - a program with subcommands (CLI11's "Subcommands:" list) gets a section COMMANDS that
#     holds each subcommand's own --help;
#   - with VERBATIM_FROM, the help text from the line that begins with it to the end (a command
#     language, say) goes into a section COMMANDS as it stands, where help2man would reflow it.
#
# Run in script mode:
#   cmake -DHELP2MAN=... -DGZIP=... -DPROGRAM=... -DNAME=... -DSUMMARY=... -DVERSION=...
#         -DINCLUDE=page.h2m [-DVERBATIM_FROM=text] -DWORK=folder -DOUTPUT=page.1.gz
#         -P man-page.cmake
foreach(variable HELP2MAN GZIP PROGRAM NAME SUMMARY VERSION INCLUDE WORK OUTPUT)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "man-page.cmake: ${variable} is not set")
  endif()
endforeach()

function(help_of out)
  execute_process(COMMAND ${PROGRAM} ${ARGN} --help OUTPUT_VARIABLE text RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${PROGRAM} ${ARGN} --help failed (${status})")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# Text as roff without filling: backslashes escaped, lines beginning with a control character
# taken as text.
function(roff_verbatim text out)
  string(REPLACE "\\" "\\e" text "${text}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
  set(${out} ".nf\n${text}.fi\n" PARENT_SCOPE)
endfunction()

file(MAKE_DIRECTORY ${WORK}/bin)
help_of(help)
set(commands "")
string(FIND "${help}" "Subcommands:\n" at)
if(NOT at EQUAL -1)
  string(SUBSTRING "${help}" ${at} -1 list)
  string(REGEX MATCHALL "\n  [a-z][a-z-]*" names "${list}")
  foreach(entry ${names})
    string(STRIP "${entry}" command)
    help_of(text ${command})
    roff_verbatim("${text}" text)
    string(APPEND commands ".SS \"${NAME} ${command}\"\n${text}")
  endforeach()
endif()
if(DEFINED VERBATIM_FROM)
  string(FIND "${help}" "\n${VERBATIM_FROM}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${PROGRAM} --help has no line that begins with '${VERBATIM_FROM}'")
  endif()
  math(EXPR at "${at} + 1")
  string(SUBSTRING "${help}" ${at} -1 tail)
  string(SUBSTRING "${help}" 0 ${at} help)
  roff_verbatim("${tail}" tail)
  string(APPEND commands "${tail}")
endif()
set(includes --include=${INCLUDE})
if(NOT commands STREQUAL "")
  file(WRITE ${WORK}/${NAME}-commands.h2m "[COMMANDS]\n${commands}")
  list(PREPEND includes --include=${WORK}/${NAME}-commands.h2m)
endif()

# help2man reads the help from a program of the same name that prints what is left of it.
file(WRITE ${WORK}/${NAME}-help.txt "${help}")
file(WRITE ${WORK}/bin/${NAME} "#!/bin/sh\nexec cat '${WORK}/${NAME}-help.txt'\n")
file(CHMOD ${WORK}/bin/${NAME} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
     GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

get_filename_component(page ${OUTPUT} NAME_WLE)
execute_process(
  COMMAND ${HELP2MAN} --no-info --section=1 "--name=${SUMMARY}" "--source=VUDUDIDI ${VERSION}"
          --version-string=${VERSION} "--manual=User Commands" ${includes}
          --output=${WORK}/${page} ${WORK}/bin/${NAME}
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "help2man failed for ${PROGRAM} (${status})")
endif()
execute_process(COMMAND ${GZIP} -9 -n -f ${WORK}/${page} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "gzip failed for ${page} (${status})")
endif()
get_filename_component(folder ${OUTPUT} DIRECTORY)
file(MAKE_DIRECTORY ${folder})
file(RENAME ${WORK}/${page}.gz ${OUTPUT})
