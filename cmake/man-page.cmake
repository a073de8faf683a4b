# Writes one manual page (section 1) from a program's own --help with help2man,
# compressed as Debian ships manual pages. A program with subcommands (CLI11's "Subcommands:"
# list) gets a COMMANDS section holding each subcommand's own --help, so the page says all the
# program says. Run in script mode:
#
#   cmake -DHELP2MAN=... -DGZIP=... -DPROGRAM=... -DNAME=... -DSUMMARY=... -DVERSION=...
#         -DINCLUDE=page.h2m -DWORK=folder -DOUTPUT=page.1.gz -P man-page.cmake
foreach(variable HELP2MAN GZIP PROGRAM NAME SUMMARY VERSION INCLUDE WORK OUTPUT)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "man-page.cmake: ${variable} is not set")
  endif()
endforeach()

# Help text as roff without filling: backslashes escaped, lines beginning with a control
# character taken as text.
function(roff_verbatim text out)
  string(REPLACE "\\" "\\e" text "${text}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
  set(${out} ".nf\n${text}.fi\n" PARENT_SCOPE)
endfunction()

file(MAKE_DIRECTORY ${WORK})
execute_process(COMMAND ${PROGRAM} --help OUTPUT_VARIABLE help RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} --help failed (${status})")
endif()
set(commands "")
string(FIND "${help}" "Subcommands:\n" at)
if(NOT at EQUAL -1)
  string(SUBSTRING "${help}" ${at} -1 list)
  string(REGEX MATCHALL "\n  [a-z][a-z-]*" names "${list}")
  foreach(entry ${names})
    string(STRIP "${entry}" command)
    execute_process(COMMAND ${PROGRAM} ${command} --help OUTPUT_VARIABLE text
                    RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "${PROGRAM} ${command} --help failed (${status})")
    endif()
    roff_verbatim("${text}" text)
    string(APPEND commands ".SS \"${NAME} ${command}\"\n${text}")
  endforeach()
endif()
set(includes --include=${INCLUDE})
if(NOT commands STREQUAL "")
  set(generated ${WORK}/${NAME}-commands.h2m)
  file(WRITE ${generated} "[COMMANDS]\n${commands}")
  list(PREPEND includes --include=${generated})
endif()

get_filename_component(page ${OUTPUT} NAME_WLE)
execute_process(
  COMMAND ${HELP2MAN} --no-info --section=1 "--name=${SUMMARY}" "--source=VUDUDIDI ${VERSION}"
          --version-string=${VERSION}
          "--manual=User Commands" ${includes}
          --output=${WORK}/${page} ${PROGRAM}
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
