cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/check_command_line.cmake)
# vellomar-dump tells the truth about the text, not only the table: true
# offsets and lengths for entries of 64 KiB or more, the warnings, --strict,
# and one message per cause of failure. Run through RUN when given (Wine or an emulator).
# Needs DUMP and WORK (a scratch folder, emptied first).
#
# LINUX_PROGRAMS: the programs are Linux ones, run natively or through RUN
# (an emulator such as qemu-aarch64-run), with the files and devices of a
# Linux system; without it, where RUN is given, they are Windows programs
# under Wine.
if(NOT RUN)
  set(LINUX_PROGRAMS ON)
endif()
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})

# In WORK, so that a file's name there may start with "-".
function(run)
  execute_process(COMMAND ${RUN} ${DUMP} ${ARGN} WORKING_DIRECTORY ${WORK}
                  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)
  set(out "${out}" PARENT_SCOPE)
  set(err "${err}" PARENT_SCOPE)
  set(status "${status}" PARENT_SCOPE)
endfunction()

# A file from pieces "N*text" (text N times) or "text", where <CR> and <LF>
# stand for the bytes, and <0xHH> for the byte of that value.
function(write_text path)
  set(content "")
  foreach(piece IN LISTS ARGN)
    set(times 1)
    if(piece MATCHES "^([0-9]+)\\*(.*)$")
      set(times ${CMAKE_MATCH_1})
      set(piece "${CMAKE_MATCH_2}")
    endif()
    string(REPLACE "<CR>" "\r" piece "${piece}")
    string(REPLACE "<LF>" "\n" piece "${piece}")
    while(piece MATCHES "<0x([0-9A-F][0-9A-F])>")
      set(hex ${CMAKE_MATCH_1})
      math(EXPR code "0x${hex}")
      string(ASCII ${code} byte)
      string(REPLACE "<0x${hex}>" "${byte}" piece "${piece}")
    endwhile()
    string(REPEAT "${piece}" ${times} piece)
    string(APPEND content "${piece}")
  endforeach()
  file(WRITE ${path} "${content}")
endfunction()

# One case: the file's pieces, the mode, and what the dump must say: the
# count, each entry's true length (LENGTHS, when given) and the table's word
# for those cut at 64 KiB (STORED, "-" for an entry that was not cut), and
# one pattern per warning, in order, each from the sentence's start.
function(dump_case name)
  cmake_parse_arguments(PARSE_ARGV 1 c "RECORD" "COUNT" "TEXT;LENGTHS;STORED;WARNINGS")
  set(file ${WORK}/${name}.txt)
  write_text(${file} ${c_TEXT})
  file(SIZE ${file} size)
  set(mode "")
  if(c_RECORD)
    set(mode --record)
  endif()

  run(${mode} --json ${file})
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${name}: status ${status} without --strict: ${err}")
  endif()
  set(json "${out}")
  string(JSON count GET "${json}" count)
  if(NOT count EQUAL c_COUNT)
    message(FATAL_ERROR "${name}: count ${count}, expected ${c_COUNT}")
  endif()
  # Entry by entry where the case lists the lengths: each query parses the
  # whole document again.
  set(offset 0)
  set(rows "")
  set(uncutRows "")
  list(LENGTH c_LENGTHS listed)
  math(EXPR last "${listed} - 1")
  if(listed GREATER 0)
    foreach(i RANGE 0 ${last})
      string(JSON at GET "${json}" entries ${i} offset)
      string(JSON length GET "${json}" entries ${i} length)
      string(JSON stored ERROR_VARIABLE notCut GET "${json}" entries ${i} stored)
      if(notCut)
        set(stored -)
      endif()
      if(NOT at EQUAL offset)
        message(FATAL_ERROR "${name}: entry ${i} at ${at}, expected ${offset}")
      endif()
      list(GET c_LENGTHS ${i} wantLength)
      list(GET c_STORED ${i} wantStored)
      if(NOT length EQUAL wantLength OR NOT stored STREQUAL wantStored)
        message(FATAL_ERROR "${name}: entry ${i} is ${length} stored ${stored}, "
                            "expected ${wantLength} stored ${wantStored}")
      endif()
      math(EXPR index "${i} + 1")
      if(NOT stored STREQUAL "-")
        list(APPEND rows "\n *${index} +${at} +${length}\\* +${stored} ")
      else()
        # Blank where the table has a stored column: eleven spaces (the
        # star's place, the gap, six, the gap) before the text.
        list(APPEND uncutRows "\n *${index} +${at} +${length}           ")
      endif()
      math(EXPR offset "${offset} + ${length}")
    endforeach()
  endif()
  math(EXPR tiled "${size} + 2")
  if(c_LENGTHS AND NOT offset EQUAL tiled)
    message(FATAL_ERROR "${name}: entries cover ${offset} bytes, the file has ${size} (+2)")
  endif()

  string(JSON warnings LENGTH "${json}" warnings)
  list(LENGTH c_WARNINGS wanted)
  if(NOT warnings EQUAL wanted)
    string(JSON got GET "${json}" warnings)
    message(FATAL_ERROR "${name}: ${warnings} warnings, expected ${wanted}: ${got}")
  endif()

  # The table view: the same warnings on standard error, --strict makes any
  # of them status 3, and each cut entry is marked with its stored word.
  run(--strict ${mode} ${file})
  set(wantStatus 0)
  if(wanted GREATER 0)
    set(wantStatus 3)
  endif()
  if(NOT status EQUAL wantStatus)
    message(FATAL_ERROR "${name}: --strict gave status ${status}, expected ${wantStatus}")
  endif()
  set(i 0)
  foreach(pattern IN LISTS c_WARNINGS)
    string(JSON warning GET "${json}" warnings ${i})
    string(REGEX REPLACE "^\\^" "" unanchored "${pattern}")
    if(NOT warning MATCHES "${pattern}" OR NOT err MATCHES "warning: ${unanchored}")
      message(FATAL_ERROR "${name}: warning ${i} '${warning}' (table view: '${err}') "
                          "does not match '${pattern}'")
    endif()
    math(EXPR i "${i} + 1")
  endforeach()
  if(rows)
    list(APPEND rows ${uncutRows})
  endif()
  foreach(row IN LISTS rows)
    if(NOT out MATCHES "${row}")
      message(FATAL_ERROR "${name}: no row matches '${row}' in the table view")
    endif()
  endforeach()
endfunction()

set(cutOne "Entry 1 is 70002 bytes long, stored as 4466: the table keeps only the low 16 bits")
set(noMarker "Record mode, but the text has no record marker")

dump_case(one_long_line TEXT "70000*a" "<CR><LF>xyz" COUNT 2
  LENGTHS 70002 5 STORED 4466 - WARNINGS "${cutOne}")
dump_case(long_and_short_lines TEXT "ab<CR><LF>" "65534*b" "<CR><LF>cd<CR><LF>" "140000*c"
  "<CR><LF>e" COUNT 5 LENGTHS 4 65536 4 140002 3 STORED - 0 - 8930 -
  WARNINGS "^2 entries are 64 KiB or longer; the first, entry 2, is 65536 bytes long, stored as 0")
# The body's stored word, 12, lands on the end of its first line: only the
# record rules tell that this line break ends no entry.
dump_case(long_record_body RECORD TEXT "h<CR><LF>@=A<CR><LF>" "10*x" "<CR><LF>" "65534*y"
  "<CR><LF>@=B<CR><LF>z" COUNT 5 LENGTHS 3 5 65548 5 3 STORED - - 12 - -
  WARNINGS "^Entry 3 is 65548 bytes long, stored as 12")
dump_case(lf_record_file RECORD TEXT "hdr<LF>@=A<LF>body<LF>" COUNT 1 LENGTHS 15 STORED -
  WARNINGS "^LF line breaks: StringTable splits on CR LF only, and this file has 3 LF line breaks and no CR LF"
           "^${noMarker}")
dump_case(mixed_breaks TEXT "a<CR><LF>b<LF>c" COUNT 2 LENGTHS 3 5 STORED - -
  WARNINGS "^Mixed line breaks: 1 CR LF and 1 lone LF")
dump_case(past_the_limit TEXT "16386*x<CR><LF>" COUNT 16385
  WARNINGS "^The count 16385 is past the plain mode limit of 16384 entries: the table covers 49155 bytes of 49158")
dump_case(record_without_marker RECORD TEXT "a<CR><LF>b<CR><LF>" COUNT 1 LENGTHS 8 STORED -
  WARNINGS "^${noMarker}")
dump_case(marked_without_scrambled_part TEXT "_PW_head<CR><LF>body<CR><LF>" COUNT 1
  LENGTHS 18 STORED - WARNINGS "^${noMarker}" 
           "^The file starts with the mark \"_PW_\", but its scrambled part \\(the stored bytes 0xBF 0xC2\\) was never found")
dump_case(clean_record_text RECORD TEXT "h<CR><LF>@=A<CR><LF>b" COUNT 3 LENGTHS 3 5 3 STORED - - -)
# The tool's own cutting counts an empty file as the table does: one entry
# of 3, so nothing disagrees.
dump_case(empty_file TEXT "" COUNT 1)
dump_case(no_line_break TEXT "abc" COUNT 1 LENGTHS 5 STORED -)
dump_case(at_the_limit TEXT "16383*x<CR><LF>" "x" COUNT 16384)
# A marked file whose scrambled part starts at 65535: 0xBF ends the tool's
# first 64 KiB read, 0xC2 starts the second.
dump_case(scrambled_part_across_reads TEXT "_PW_" "65529*h" "<CR><LF>"
  "<0xBF><0xC2><0xBE><0xF2><0xF5><0x9D>" COUNT 3 LENGTHS 65535 5 3 STORED - - -)

run(${WORK}/one_long_line.txt)
if(NOT out MATCHES "one_long_line.txt: 70005 bytes, plain mode, 2 entries\r?\n")
  message(FATAL_ERROR "table view heading: ${out}")
endif()
run(--record ${WORK}/lf_record_file.txt)
if(NOT out MATCHES ", record mode, 1 entry\r?\n" OR NOT status EQUAL 0)
  message(FATAL_ERROR "one entry, status ${status}: ${out}")
endif()

# The command line: arguments (split at "|"), the status, and a pattern for
# standard output then standard error. Options and FILE go in any order, "--"
# ends the options; a usage error is status 2 and one line on standard error
# naming the bad argument. A number is digits only, and --expect needs one.
configure_file(${WORK}/clean_record_text.txt ${WORK}/-record.txt COPYONLY)
set(short ${WORK}/no_line_break.txt)
set(clean ${WORK}/clean_record_text.txt)
set(commandLines
  "--expect|+5|${short}" 2 "^vellomar-dump: bad value '\\+5' for --expect <usage>"
  "--expect|-0|${short}" 2 "^vellomar-dump: bad value '-0' for --expect <usage>"
  "--expect| 5|${short}" 2 "^vellomar-dump: bad value ' 5' for --expect <usage>"
  "${short}|--expect=5x" 2 "^vellomar-dump: bad value '5x' for --expect <usage>"
  "--expect" 2 "^vellomar-dump: '--expect' needs a value <usage>"
  "${short}|--expect" 2 "^vellomar-dump: '--expect' needs a value <usage>"
  "--bogus|${short}" 2 "^vellomar-dump: unknown option '--bogus' <usage>"
  "${short}|-x" 2 "^vellomar-dump: unknown option '-x' <usage>"
  "-record.txt" 2 "^vellomar-dump: unknown option '-r' <usage>"
  "" 2 "^vellomar-dump: missing FILE <usage>"
  "${short}|${clean}" 2 "^vellomar-dump: unexpected argument '[^']*clean_record_text.txt' <usage>"
  "${clean}|--strict|--record" 0 "clean_record_text.txt: 9 bytes, record mode, 3 entries\r?\n"
  "${clean}|--json|--expect|9" 0 "^{\"file\": \"[^\"]*clean_record_text.txt\", \"size\": 9,"
  "--record|--|-record.txt" 0 "^-record.txt: 9 bytes, record mode, 3 entries\r?\n")
check_command_line(NAME vellomar-dump RUN ${RUN} ${DUMP} IN ${WORK} ROWS commandLines)

# A stand-in for the library that gives a table of one entry for any file:
# the dump must say where it disagrees with the text.
if(WRONG_TABLE_DUMP)
  set(realDump ${DUMP})
  set(DUMP ${WRONG_TABLE_DUMP})
  run(--json ${WORK}/clean_record_text.txt)
  set(DUMP ${realDump})
  string(JSON warning ERROR_VARIABLE none GET "${out}" warnings 0)
  if(NOT status EQUAL 0 OR NOT warning MATCHES "^The table disagrees with the text at entry 1 \\(stored 11\\)")
    message(FATAL_ERROR "a wrong table: status ${status}, warning '${warning}': ${out} ${err}")
  endif()
endif()

# Each cause of failure in its own words: arguments (split at "|"), then the
# message.
set(failures
  "${WORK}/no-such-file.txt" "not indexed: no such file"
  "${WORK}/mixed_breaks.txt/x" "not indexed: no such file"
  "${WORK}" "not indexed: is a directory"
  "--expect|5|${WORK}/lf_record_file.txt" "not indexed: is 13 bytes, expected 5")
# 4 GiB without writing it: a file with a hole.
execute_process(COMMAND truncate -s 4G ${WORK}/huge.txt RESULT_VARIABLE noHole)
execute_process(COMMAND truncate -s 4294967295 ${WORK}/almost.txt RESULT_VARIABLE noHole2)
if(noHole EQUAL 0 AND noHole2 EQUAL 0)
  list(APPEND failures "--expect|5|${WORK}/huge.txt" "not indexed: is 4 GiB or larger"
       "--expect|5|${WORK}/almost.txt" "not indexed: is 4294967295 bytes, expected 5")
endif()
if(LINUX_PROGRAMS)
  list(APPEND failures /dev/null "not indexed: is not a regular file")
  # Root reads whatever the mode says.
  file(WRITE ${WORK}/locked.txt "locked")
  file(CHMOD ${WORK}/locked.txt PERMISSIONS OWNER_WRITE)
  execute_process(COMMAND ${CMAKE_COMMAND} -E cat ${WORK}/locked.txt
                  RESULT_VARIABLE unreadable OUTPUT_QUIET ERROR_QUIET)
  if(unreadable)
    list(APPEND failures ${WORK}/locked.txt "not indexed: permission denied")
  endif()
endif()
# An expected size the process cannot have memory for: the 32-bit program
# can never have 4000000000 bytes, the native one not under a limit on its
# address space.
set(tooMuch "--expect|4000000000|${WORK}/lf_record_file.txt"
    "cannot have 4000000000 bytes of memory for the buffer")
if(BITS EQUAL 32)
  list(APPEND failures ${tooMuch})
endif()
list(LENGTH failures length)
math(EXPR last "${length} - 1")
foreach(i RANGE 0 ${last} 2)
  list(GET failures ${i} arguments)
  string(REPLACE "|" ";" arguments "${arguments}")
  math(EXPR j "${i} + 1")
  list(GET failures ${j} message)
  run(${arguments})
  if(NOT status EQUAL 1 OR NOT err MATCHES "${message}\r?\n")
    message(FATAL_ERROR "${arguments}: status ${status}, '${err}', expected '${message}'")
  endif()
endforeach()

# (Not under AddressSanitizer, whose shadow memory needs more address space
# than the limit leaves.) An emulator shares the limit with the program, and
# qemu-aarch64 alone takes 128 MiB for its translated code, so it gets more,
# still far below the 4000000000 bytes.
if(LINUX_PROGRAMS AND NOT SANITIZED)
  list(GET tooMuch 0 arguments)
  string(REPLACE "|" ";" arguments "${arguments}")
  set(kibibytes 200000)
  if(RUN)
    set(kibibytes 1000000)
  endif()
  execute_process(COMMAND sh -c "ulimit -v ${kibibytes} && exec \"$0\" \"$@\"" ${RUN} ${DUMP} ${arguments}
                  OUTPUT_QUIET ERROR_VARIABLE err RESULT_VARIABLE status)
  list(GET tooMuch 1 message)
  if(NOT status EQUAL 1 OR NOT err MATCHES "${message}\n")
    message(FATAL_ERROR "under ulimit -v: status ${status}, '${err}', expected '${message}'")
  endif()
endif()
if(LINUX_PROGRAMS)
  # Output that cannot be written is a failure, never a success: a full
  # disk, a closed standard output, in both views. (Under Wine the output
  # passes through a file first.)
  foreach(sink "> /dev/full" ">&-")
    foreach(view "" --json)
      execute_process(COMMAND sh -c "exec \"$0\" \"$@\" ${sink}" ${RUN} ${DUMP} ${view}
                              ${WORK}/clean_record_text.txt
                      ERROR_VARIABLE err RESULT_VARIABLE status)
      if(NOT status EQUAL 1 OR NOT err MATCHES "^vellomar-dump: cannot write to standard output: [^\n]+\n$")
        message(FATAL_ERROR "output ${sink} ${view}: status ${status}, '${err}'")
      endif()
    endforeach()
  endforeach()
endif()
# A write that fails once, with later ones going through (the failure
# injected by strace into the first write): what it carried is lost, so the
# run fails, however well the rest was written. Natively and without the
# sanitizers only: the first write could be an emulator's own, or the one
# with which AddressSanitizer probes memory as it starts.
if(LINUX_PROGRAMS AND NOT RUN AND NOT SANITIZED)
  find_program(STRACE strace)
  if(NOT STRACE)
    message(FATAL_ERROR "strace not found (Debian: strace): it makes the failing write")
  endif()
  string(REPEAT "a line long enough to fill the output buffer\r\n" 3000 longText)
  file(WRITE ${WORK}/long.txt "${longText}")
  execute_process(COMMAND ${STRACE} -f -qq -o /dev/null -e trace=write
                          -e inject=write:error=EIO:when=1 ${DUMP} ${WORK}/long.txt
                  OUTPUT_FILE ${WORK}/long.out ERROR_VARIABLE err RESULT_VARIABLE status)
  file(SIZE ${WORK}/long.out written)
  if(NOT status EQUAL 1 OR written EQUAL 0 OR
     NOT err MATCHES "^vellomar-dump: cannot write to standard output[^\n]*\n$")
    message(FATAL_ERROR "one failed write: status ${status}, ${written} bytes written, '${err}'")
  endif()
endif()
file(REMOVE_RECURSE ${WORK})
