# Renders the manual page with every groff warning on; any warning fails.
find_program(GROFF groff REQUIRED)
execute_process(COMMAND "${GROFF}" -man -ww -z "${PAGE}" RESULT_VARIABLE result
                ERROR_VARIABLE warnings)
if(NOT result EQUAL 0 OR NOT warnings STREQUAL "")
  message(FATAL_ERROR "groff: ${result}\n${warnings}")
endif()
