# Writes the bash completion from its template, with the long options that the
# program's table holds (printed by PROGRAM, one a line).
#   cmake -DPROGRAM=... -DTEMPLATE=... -DOUTPUT=... -P cmake/bash_completion.cmake
execute_process(COMMAND ${PROGRAM} OUTPUT_VARIABLE options RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} failed (${status}): the completion cannot be written")
endif()
string(STRIP "${options}" options)
if(options STREQUAL "")
  message(FATAL_ERROR "${PROGRAM} printed no long option")
endif()
string(REPLACE "\n" " " TALVEN_LONG_OPTIONS "${options}")
configure_file(${TEMPLATE} ${OUTPUT} @ONLY)
