# A tool's command line, row by row, for the tools' check scripts: each row
# is the arguments (split at "|"), the exit status, and a pattern for
# standard output followed by standard error. A usage error (status 2) must
# be one line on standard error, which "<usage>" ends a pattern for: the
# pointer to --help and the line's end. The rows every tool shares are added here:
# -h and --help print the usage, wherever they stand; --version the version.
#
#   check_command_line(NAME vellomar-dump RUN ${RUN} ${DUMP} IN ${WORK} ROWS rows)
#
# RUN is the command that runs the tool (through wine for the Windows
# build), IN the folder it runs in, ROWS the name of the list of rows.
function(check_command_line)
  cmake_parse_arguments(PARSE_ARGV 0 c "" "NAME;IN;ROWS" "RUN")
  set(rows "${${c_ROWS}}")
  list(APPEND rows
    "-h" 0 "^usage: ${c_NAME} .*-h, --help .*--version"
    "first|--help|second|third" 0 "^usage: ${c_NAME} .* go in any order"
    "--version" 0 "^${c_NAME} [0-9]+\\.[0-9]+\\.[0-9]+\r?\n$")
  while(rows)
    list(POP_FRONT rows arguments wantStatus pattern)
    string(REPLACE "|" ";" arguments "${arguments}")
    string(REPLACE "<usage>" "\\(${c_NAME} --help shows the usage\\)\r?\n$" pattern "${pattern}")
    execute_process(COMMAND ${c_RUN} ${arguments} WORKING_DIRECTORY ${c_IN}
                    OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)
    string(REGEX MATCHALL "\n" errLines "${err}")
    list(LENGTH errLines errLines)
    if(NOT status EQUAL wantStatus OR NOT "${out}${err}" MATCHES "${pattern}" OR
       (status EQUAL 2 AND NOT errLines EQUAL 1))
      message(FATAL_ERROR "${c_NAME} ${arguments}: status ${status} (want ${wantStatus}), "
                          "'${out}' '${err}', expected '${pattern}'")
    endif()
  endwhile()
endfunction()
