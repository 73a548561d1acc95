cmake_minimum_required(VERSION 3.25)
# vellomar-dump on the shipped examples, run through RUN when given (Wine
# or an emulator): the table it prints must tile each file, the record
# example's second entry must be a marker line, and a wrong expected size and
# a missing file must end with status 1 and a message naming the file. Where
# the box is a line on standard error (BOX_ON_STDERR), that line must be there.
# In WORK it writes files of its own: an empty one, and one holding 0x7F.
#
# LINUX_PROGRAMS: the programs are Linux ones, run natively or through RUN
# (an emulator such as qemu-aarch64-run), with the files and devices of a
# Linux system; without it, where RUN is given, they are Windows programs
# under Wine. SANITIZED: the programs are built with the sanitizers.
if(NOT RUN)
  set(LINUX_PROGRAMS ON)
endif()
foreach(example plain record)
  set(file ${EXAMPLES}/${example}.txt)
  file(SIZE ${file} size)
  set(mode "")
  if(example STREQUAL "record")
    set(mode --record)
  endif()
  execute_process(COMMAND ${RUN} ${DUMP} ${mode} --json ${file}
                  OUTPUT_VARIABLE json RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${example}: vellomar-dump exited with ${status}")
  endif()
  string(JSON count GET "${json}" count)
  string(JSON entries LENGTH "${json}" entries)
  if(NOT count EQUAL entries OR count LESS 2)
    message(FATAL_ERROR "${example}: count ${count} but ${entries} entries")
  endif()
  math(EXPR last "${entries} - 1")
  set(offset 0)
  foreach(i RANGE ${last})
    string(JSON at GET "${json}" entries ${i} offset)
    string(JSON length GET "${json}" entries ${i} length)
    if(NOT at EQUAL offset)
      message(FATAL_ERROR "${example}: entry ${i} at ${at}, expected ${offset}")
    endif()
    math(EXPR offset "${offset} + ${length}")
  endforeach()
  math(EXPR tiled "${size} + 2")
  if(NOT offset EQUAL tiled)
    message(FATAL_ERROR "${example}: entries cover ${offset} bytes, the file has ${size} (+2)")
  endif()
  if(example STREQUAL "record")
    string(JSON second GET "${json}" entries 1 text)
    if(NOT second MATCHES "^@=")
      message(FATAL_ERROR "second record entry '${second}' is not a marker line")
    endif()
    set(recordSize ${size})
  endif()
endforeach()

math(EXPR wrong "${recordSize} + 1")
execute_process(COMMAND ${RUN} ${DUMP} --expect ${wrong} ${EXAMPLES}/record.txt
                OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)
if(NOT status EQUAL 1 OR NOT err MATCHES "record.txt")
  message(FATAL_ERROR "wrong size not reported: status ${status}, '${err}'")
endif()
if(BOX_ON_STDERR AND NOT err MATCHES "Tarvoni DLL: DLL error: ${recordSize}\n")
  message(FATAL_ERROR "no box line for the wrong size: '${err}'")
endif()

execute_process(COMMAND ${RUN} ${DUMP} ${EXAMPLES}/no-such-file.txt
                OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)
if(NOT status EQUAL 1 OR NOT err MATCHES "no-such-file.txt")
  message(FATAL_ERROR "a missing file gave status ${status}, expected 1: '${err}'")
endif()

# The largest expected size is the library's to judge: the call fails with
# the box (the file is shorter), not the command line. Not for the Windows
# programs: the 32-bit one cannot even reserve a buffer of 4 GiB - 1. Nor
# under the sanitizers: an unoptimised build constructs each of the buffer's
# 4 GiB - 1 bytes one by one (minutes), and the call's path is the one the
# wrong size above takes.
if(LINUX_PROGRAMS AND NOT SANITIZED)
  execute_process(COMMAND ${RUN} ${DUMP} --expect 4294967295 ${EXAMPLES}/record.txt
                  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)
  if(NOT status EQUAL 1)
    message(FATAL_ERROR "--expect 4294967295 gave status ${status}, expected 1: '${err}'")
  endif()
  if(BOX_ON_STDERR AND NOT err MATCHES "Tarvoni DLL: DLL error: ${recordSize}\n")
    message(FATAL_ERROR "no box line for --expect 4294967295: '${err}'")
  endif()
endif()

file(MAKE_DIRECTORY ${WORK})

# An empty file is one entry of 3 whose text, clipped at the data's end, is
# empty.
file(WRITE ${WORK}/empty.txt "")
execute_process(COMMAND ${RUN} ${DUMP} --json ${WORK}/empty.txt
                OUTPUT_VARIABLE json ERROR_VARIABLE err RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "empty file: vellomar-dump exited with ${status}: '${err}'")
endif()
string(JSON count GET "${json}" count)
string(JSON length GET "${json}" entries 0 length)
string(JSON text GET "${json}" entries 0 text)
# A zero byte read from past the data would come back here as "" too.
string(FIND "${json}" "\\u0000" zero)
if(NOT count EQUAL 1 OR NOT length EQUAL 3 OR NOT text STREQUAL "" OR NOT zero EQUAL -1)
  message(FATAL_ERROR "empty file: count ${count}, first entry ${length} bytes '${text}': ${json}")
endif()

# 0x7F is a control byte: escaped in the table, and in JSON too, where it
# still stands for itself. A backslash is escaped in both.
string(ASCII 127 del)
file(WRITE ${WORK}/del.txt "a${del}b\\c")
foreach(format table json)
  set(flag "")
  if(format STREQUAL "json")
    set(flag --json)
  endif()
  execute_process(COMMAND ${RUN} ${DUMP} ${flag} ${WORK}/del.txt
                  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)
  string(FIND "${out}" "${del}" raw)
  if(NOT status EQUAL 0 OR NOT raw EQUAL -1)
    message(FATAL_ERROR "0x7F, ${format}: status ${status}, raw byte at ${raw}: '${out}'")
  endif()
  if(format STREQUAL "json")
    string(JSON text GET "${out}" entries 0 text)
    if(NOT text STREQUAL "a${del}b\\c")
      message(FATAL_ERROR "0x7F, json: the text is '${text}'")
    endif()
  else()
    string(FIND "${out}" "a\\x7Fb\\\\c" escaped)
    if(escaped EQUAL -1)
      message(FATAL_ERROR "0x7F, table: no 'a\\x7Fb\\\\c' in '${out}'")
    endif()
  endif()
endforeach()

# A backslash in the file's name, where it is no path separator.
if(LINUX_PROGRAMS)
  set(name "${WORK}/back\\slash.txt")
  file(TOUCH "${name}") # file(WRITE) would make a folder "back" first
  execute_process(COMMAND ${RUN} ${DUMP} --json ${name}
                  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)
  string(JSON file ERROR_VARIABLE bad GET "${out}" file)
  if(NOT status EQUAL 0 OR NOT file STREQUAL name)
    message(FATAL_ERROR "a backslash in the name: status ${status}, file '${file}' ${bad}: '${out}'")
  endif()
endif()
