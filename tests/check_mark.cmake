# vellomar-mark then vellomar-dump: the marked file must give back the
# original records, in both storings of line breaks, and the tool must refuse
# what it cannot or may not do without leaving files behind. Then --decode:
# every marked file the tool writes decodes to its text and marks back the
# same, and what does not come back is said.
# Needs MARK, DUMP, EXAMPLES, CORPUS (fuzz/corpus) and WORK (a scratch folder,
# emptied first); APPEARS, where given, is the output_appears library. Both
# programs run through RUN when given (Wine or an emulator).
#
# LINUX_PROGRAMS: the programs are Linux ones, run natively or through RUN
# (an emulator such as qemu-aarch64-run), with the files and devices of a
# Linux system; without it, where RUN is given, they are Windows programs
# under Wine.
if(NOT RUN)
  set(LINUX_PROGRAMS ON)
endif()
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/check_command_line.cmake)
set(MARK ${RUN} ${MARK})
set(DUMP ${RUN} ${DUMP})
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
set(recordText ${EXAMPLES}/record.txt)

function(run)
  execute_process(COMMAND ${ARGN} OUTPUT_VARIABLE out ERROR_VARIABLE err
                  RESULT_VARIABLE status)
  set(out "${out}" PARENT_SCOPE)
  set(err "${err}" PARENT_SCOPE)
  set(status "${status}" PARENT_SCOPE)
endfunction()

function(run_in folder)
  execute_process(COMMAND ${ARGN} WORKING_DIRECTORY ${folder} OUTPUT_VARIABLE out
                  ERROR_VARIABLE err RESULT_VARIABLE status)
  set(out "${out}" PARENT_SCOPE)
  set(err "${err}" PARENT_SCOPE)
  set(status "${status}" PARENT_SCOPE)
endfunction()

function(expect_refused what pattern)
  if(status EQUAL 0 OR NOT err MATCHES "${pattern}")
    message(FATAL_ERROR "${what}: expected a refusal matching '${pattern}', got ${status} '${err}'")
  endif()
endfunction()

function(expect_same_file a b)
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${a} ${b} RESULT_VARIABLE differ)
  if(NOT differ EQUAL 0)
    message(FATAL_ERROR "${a} and ${b} differ")
  endif()
endfunction()

run(${DUMP} --record --json ${recordText})
if(NOT status EQUAL 0)
  message(FATAL_ERROR "vellomar-dump on ${recordText} failed: ${status} ${err}")
endif()
set(original "${out}")
string(JSON count GET "${original}" count)
math(EXPR last "${count} - 1")

foreach(flag "" --plain-breaks)
  # The second round replaces the first round's output.
  set(args ${flag})
  if(flag)
    list(APPEND args --force)
  endif()
  run(${MARK} ${args} ${recordText} ${WORK}/marked.txt)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "vellomar-mark ${args} failed: ${status} ${err}")
  endif()
  file(READ ${WORK}/marked.txt stored HEX)
  if(NOT stored MATCHES "^5f50575f" OR stored MATCHES "403d4954454d")
    message(FATAL_ERROR "${flag}: not a marked file with the records scrambled: ${stored}")
  endif()
  if(NOT flag)
    # The shipped example is what the tool makes of the record example.
    expect_same_file(${WORK}/marked.txt ${EXAMPLES}/marked.txt)
  endif()

  # Plain mode asked, record mode given: the file is marked.
  run(${DUMP} --json ${WORK}/marked.txt)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "vellomar-dump on the marked file failed: ${status} ${err}")
  endif()
  string(JSON marked GET "${out}" marked)
  string(JSON mode GET "${out}" mode)
  string(JSON markedCount GET "${out}" count)
  if(NOT marked OR NOT mode STREQUAL "record" OR NOT markedCount EQUAL count)
    message(FATAL_ERROR "${flag}: marked ${marked}, mode ${mode}, count ${markedCount} (want ${count})")
  endif()
  foreach(i RANGE ${last})
    string(JSON want GET "${original}" entries ${i} text)
    string(JSON wantLength GET "${original}" entries ${i} length)
    string(JSON got GET "${out}" entries ${i} text)
    string(JSON gotLength GET "${out}" entries ${i} length)
    if(i EQUAL 0)
      set(want "_PW_${want}")
      math(EXPR wantLength "${wantLength} + 4")
    endif()
    if(NOT got STREQUAL want OR NOT gotLength EQUAL wantLength)
      message(FATAL_ERROR "${flag}: entry ${i} is '${got}' (${gotLength}), want '${want}' (${wantLength})")
    endif()
  endforeach()
endforeach()

# An existing output is kept without --force.
file(WRITE ${WORK}/existing.txt "keep")
run(${MARK} ${recordText} ${WORK}/existing.txt)
expect_refused("existing output" "exists")
file(READ ${WORK}/existing.txt kept)
if(NOT kept STREQUAL "keep")
  message(FATAL_ERROR "existing output overwritten: '${kept}'")
endif()

# The input is never overwritten, under its own name or another, --force or not.
configure_file(${recordText} ${WORK}/input.txt COPYONLY)
file(CREATE_LINK ${WORK}/input.txt ${WORK}/hard.txt)
file(CREATE_LINK ${WORK}/input.txt ${WORK}/soft.txt SYMBOLIC)
foreach(output input.txt ./input.txt hard.txt soft.txt)
  foreach(force "" --force)
    run(${MARK} ${force} ${WORK}/input.txt ${WORK}/${output})
    expect_refused("output ${output} ${force}" "input")
  endforeach()
endforeach()
run(${MARK} --force ${WORK}/soft.txt ${WORK}/input.txt)
expect_refused("input through a link" "input")
expect_same_file(${WORK}/input.txt ${recordText})

# Only regular files are written, --force or not: a device, a FIFO, a socket
# or a link to nothing stays what it was. A link to a regular file has that
# file replaced and stays a link.
set(notRegular "")
if(NOT LINUX_PROGRAMS)
  list(APPEND notRegular NUL)
else()
  execute_process(COMMAND mkfifo ${WORK}/fifo)
  execute_process(COMMAND python3 -c "import socket,sys; socket.socket(socket.AF_UNIX).bind(sys.argv[1])"
                          ${WORK}/socket)
  file(CREATE_LINK ${WORK}/nothing ${WORK}/dangling SYMBOLIC)
  list(APPEND notRegular /dev/full ${WORK}/fifo ${WORK}/socket ${WORK}/dangling)
endif()
foreach(output IN LISTS notRegular)
  foreach(force "" --force)
    run(${MARK} ${force} ${recordText} ${output})
    expect_refused("output ${output} ${force}" "not a regular file")
  endforeach()
endforeach()
if(LINUX_PROGRAMS)
  execute_process(COMMAND sh -c "test -c /dev/full && test -p \"$0\" && test -S \"$1\" && test -L \"$2\" && test ! -e \"$2\""
                          ${WORK}/fifo ${WORK}/socket ${WORK}/dangling RESULT_VARIABLE changed)
  if(changed)
    message(FATAL_ERROR "a refused output is no longer what it was")
  endif()
  file(REMOVE ${WORK}/fifo ${WORK}/socket ${WORK}/dangling)
  file(WRITE ${WORK}/target.txt "old")
  file(CREATE_LINK target.txt ${WORK}/link.txt SYMBOLIC)
  run(${MARK} --force ${recordText} ${WORK}/link.txt)
  if(NOT status EQUAL 0 OR NOT IS_SYMLINK ${WORK}/link.txt)
    message(FATAL_ERROR "output through a link: status ${status}, '${err}', still a link: ${IS_SYMLINK}")
  endif()
  expect_same_file(${WORK}/target.txt ${EXAMPLES}/marked.txt)
  # The report line is output too: lost, it is a failure.
  execute_process(COMMAND sh -c "exec \"$0\" \"$@\" > /dev/full" ${MARK} --force ${recordText}
                          ${WORK}/target.txt ERROR_VARIABLE err RESULT_VARIABLE status)
  if(NOT status EQUAL 1 OR NOT err MATCHES "cannot write to standard output")
    message(FATAL_ERROR "report line to /dev/full: status ${status}, '${err}'")
  endif()
endif()

# Nothing to scramble: said, mentioning CR LF.
run(${MARK} ${EXAMPLES}/plain.txt ${WORK}/none.txt)
expect_refused("no record marker" "CR LF")

# A text that would not come back: 0xF5 directly before "@=" at offset 9
# makes a reader rewrite offset 8.
string(ASCII 245 f5)
file(WRITE ${WORK}/bad.txt "h\r\n@=A\r\nb${f5}@=c\r\n")
run(${MARK} ${WORK}/bad.txt ${WORK}/bad-marked.txt)
expect_refused("would not come back" "offset 8")

# The round trip of the README on the shipped example.
run(${MARK} --decode ${EXAMPLES}/marked.txt ${WORK}/record.txt)
if(NOT status EQUAL 0 OR NOT out MATCHES "line breaks: all scrambled\r?\nmarking it again without --plain-breaks gives back INPUT byte for byte")
  message(FATAL_ERROR "--decode of the shipped example: ${status} '${out}' '${err}'")
endif()
expect_same_file(${WORK}/record.txt ${recordText})
run(${MARK} --force ${WORK}/record.txt ${WORK}/marked.txt)
expect_same_file(${WORK}/marked.txt ${EXAMPLES}/marked.txt)

# Every marked file the tool writes from the examples and the fuzz corpora's
# texts, in either storing: decoded, the text; marked again as the report
# says, the file.
file(GLOB texts ${EXAMPLES}/*.txt ${CORPUS}/line_table/* ${CORPUS}/string_table/*)
set(trips 0)
foreach(text IN LISTS texts)
  foreach(flag "" --plain-breaks)
    run(${MARK} --force ${flag} ${text} ${WORK}/trip-marked.txt)
    if(NOT status EQUAL 0)
      expect_refused("${text} ${flag}" "no record marker|cannot be marked")
      continue()
    endif()
    run(${MARK} -d --strict --force ${WORK}/trip-marked.txt ${WORK}/trip-text.txt)
    if(flag)
      set(storing "all plain|none in the scrambled part")
    else()
      set(storing "all scrambled|none in the scrambled part")
    endif()
    if(NOT status EQUAL 0 OR NOT out MATCHES "line breaks: (${storing})" OR
       NOT out MATCHES "marking it again (with|without) --plain-breaks gives back INPUT byte for byte")
      message(FATAL_ERROR "--decode of ${text} marked ${flag}: ${status} '${out}' '${err}'")
    endif()
    set(again "")
    if(CMAKE_MATCH_1 STREQUAL "with")
      set(again --plain-breaks)
    endif()
    expect_same_file(${WORK}/trip-text.txt ${text})
    run(${MARK} --force ${again} ${WORK}/trip-text.txt ${WORK}/trip-again.txt)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "marking the decoded ${text} again failed: ${status} ${err}")
    endif()
    expect_same_file(${WORK}/trip-again.txt ${WORK}/trip-marked.txt)
    math(EXPR trips "${trips} + 1")
  endforeach()
endforeach()
message(STATUS "${trips} marked files decoded and marked back")
if(trips LESS 30)
  message(FATAL_ERROR "only ${trips} round trips: the examples or the corpora are missing")
endif()

# Marked files that do not come back: decoded all the same, said where and
# why, exit 0, and 3 with --strict. Rows: name, the file and the text as hex,
# what the report must say.
function(write_hex path hex)
  string(REGEX MATCHALL ".." pairs "${hex}")
  set(bytes "")
  foreach(pair IN LISTS pairs)
    math(EXPR code "0x${pair}")
    string(ASCII ${code} byte)
    string(APPEND bytes "${byte}")
  endforeach()
  file(WRITE ${path} "${bytes}")
endfunction()
set(notBack
  "mixed|5f50575f680d0abfc2bef2f59d0d0abfc2bdf2f59cf2f5|680d0a403d410d0a620d0a403d420d0a630d0a|mixed: plain \\(the --plain-breaks storing\\), but the one at offset 21 of INPUT \\(17 of OUTPUT\\) is stored scrambled.*with --plain-breaks would not give back INPUT: offset 21 of INPUT would be 0x0D instead of 0xF2"
  "head repaired|5f50575f68656164f5bfc2bef2f59df2f5|6865610d0a403d410d0a620d0a|all scrambled.*offset 7 of INPUT would be 0x0D instead of 0x64: the head ends in 0x64 0xF5"
  "head of one byte repaired|5f50575f68f5bfc2bef2f59df2f5|0d0a403d410d0a620d0a|offset 4 of INPUT would be 0x0D instead of 0x68: the head ends in 0x68 0xF5 at offset 4 of INPUT[^\n]*keeps in the head as it is\n"
  "head repaired over the mark|5f50575ff5bfc2bef2f5bfc2bdf2f5|0a403d410d0a403d420d0a|the head ends in 0x5F 0xF5 at offset 3 of INPUT[^\n]*. its CR falls on the mark's last byte\n"
  "a break's LF stored plain|5f50575f680d0abfc2bef2f5bfc2bdf20abfc2bc|680d0a403d410d0a403d420d0a403d43|offset 16 of INPUT would be 0xF5 instead of 0x0A: the line break at offset 15 of INPUT is stored as 0xF2 0x0A, which the decoder's repair turns into CR LF, the other way from the first break")
foreach(row IN LISTS notBack)
  string(REPLACE "|" ";" row "${row}")
  list(GET row 0 name)
  list(GET row 1 stored)
  list(GET row 2 wanted)
  list(GET row 3 said)
  write_hex(${WORK}/not-back.txt ${stored})
  foreach(strict "" --strict)
    run(${MARK} --decode ${strict} --force ${WORK}/not-back.txt ${WORK}/not-back-text.txt)
    set(want 0)
    if(strict)
      set(want 3)
    endif()
    file(READ ${WORK}/not-back-text.txt got HEX)
    if(NOT status EQUAL want OR NOT got STREQUAL wanted OR NOT out MATCHES "${said}")
      message(FATAL_ERROR "${name} ${strict}: ${status} (want ${want}), text ${got} (want ${wanted}), '${out}' '${err}'")
    endif()
  endforeach()
endforeach()

# Decoding refuses as marking does, and what is not a marked file.
run(${MARK} --decode ${recordText} ${WORK}/not-marked.txt)
if(NOT status EQUAL 1 OR NOT err MATCHES ": not a marked file: it does not begin with \"_PW_\"\r?\n$")
  message(FATAL_ERROR "decoding a record text: ${status} '${err}'")
endif()
run(${MARK} --decode ${EXAMPLES}/marked.txt ${WORK}/existing.txt)
expect_refused("decoding onto an existing output" "exists")
file(READ ${WORK}/existing.txt kept)
if(NOT kept STREQUAL "keep")
  message(FATAL_ERROR "existing output overwritten by --decode: '${kept}'")
endif()
configure_file(${EXAMPLES}/marked.txt ${WORK}/marked-input.txt COPYONLY)
file(CREATE_LINK ${WORK}/marked-input.txt ${WORK}/marked-hard.txt)
file(CREATE_LINK ${WORK}/marked-input.txt ${WORK}/marked-soft.txt SYMBOLIC)
foreach(output marked-input.txt ./marked-input.txt marked-hard.txt marked-soft.txt)
  run(${MARK} --decode --force ${WORK}/marked-input.txt ${WORK}/${output})
  expect_refused("--decode output ${output}" "itself; it is never overwritten")
endforeach()
expect_same_file(${WORK}/marked-input.txt ${EXAMPLES}/marked.txt)
run(${MARK} --decode ${EXAMPLES} ${WORK}/from-folder.txt)
expect_refused("--decode from a folder" "not a regular file")
run(${MARK} --decode --force ${EXAMPLES}/marked.txt ${WORK})
expect_refused("--decode into a folder" "is a folder")
# The command line: arguments (split at "|"), the status, and a pattern for
# standard output then standard error. Options and operands go in any order;
# a usage error is status 2, one line on standard error naming the bad
# argument, and no output written.
set(marked ${EXAMPLES}/marked.txt)
set(usage ${WORK}/usage.txt)
set(commandLines
  "--decode|--plain-breaks|${marked}|${usage}" 2 "^vellomar-mark: --plain-breaks does not go with --decode <usage>"
  "--strict|${marked}|${usage}" 2 "^vellomar-mark: --strict goes only with --decode <usage>"
  "${marked}|${usage}|--bogus" 2 "^vellomar-mark: unknown option '--bogus' <usage>"
  "-x|${marked}|${usage}" 2 "^vellomar-mark: unknown option '-x' <usage>"
  "-dx|${marked}|${usage}" 2 "^vellomar-mark: unknown option '-x' <usage>"
  "${marked}" 2 "^vellomar-mark: missing OUTPUT <usage>"
  "--force" 2 "^vellomar-mark: missing INPUT <usage>"
  "${marked}|${usage}|${WORK}/third.txt" 2 "^vellomar-mark: unexpected argument '[^']*third.txt' <usage>"
  # Options after the operands, and -d among them: decoded all the same.
  "${marked}|${WORK}/decoded-late.txt|-d|--strict" 0 "decoded-late.txt: [0-9]+ bytes, the record text of ")
check_command_line(NAME vellomar-mark RUN ${MARK} IN ${WORK} ROWS commandLines)
expect_same_file(${WORK}/decoded-late.txt ${recordText})

# The text's last two bytes 0xF2 0xF5 are stored as CR LF, which a reader
# takes for a final line break stored plain.
string(ASCII 242 f2)
file(WRITE ${WORK}/bad-end.txt "h\r\n@=A\r\nb${f2}${f5}")
run(${MARK} ${WORK}/bad-end.txt ${WORK}/bad-marked.txt)
expect_refused("ends in 0xF2 0xF5" "offset 9 of the input .*: the text ends in 0xF2 0xF5")

# Options after the operands mark as they do before them.
run(${MARK} ${recordText} ${WORK}/late.txt --plain-breaks --force)
run(${MARK} --force --plain-breaks ${recordText} ${WORK}/early.txt)
expect_same_file(${WORK}/late.txt ${WORK}/early.txt)

# "--" ends the options: names that start with "-" after it are files.
configure_file(${recordText} ${WORK}/-record.txt COPYONLY)
run_in(${WORK} ${MARK} -- -record.txt -marked.txt)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "-- -record.txt -marked.txt: ${status} ${err}")
endif()
expect_same_file(${WORK}/-marked.txt ${EXAMPLES}/marked.txt)

# Inputs that are no regular file, each refused as such, without waiting
# for a FIFO's writer.
set(inputs ${WORK})
if(NOT LINUX_PROGRAMS)
  # CON too is a device, but with no console (as under Wine here) it cannot
  # even be opened.
  list(APPEND inputs NUL)
else()
  list(APPEND inputs /dev/null)
  execute_process(COMMAND mkfifo ${WORK}/fifo RESULT_VARIABLE noFifo)
  if(noFifo EQUAL 0)
    list(APPEND inputs ${WORK}/fifo)
  endif()
endif()
foreach(input IN LISTS inputs)
  execute_process(COMMAND ${MARK} ${input} ${WORK}/none.txt TIMEOUT 20
                  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)
  expect_refused("input ${input}" "not a regular file")
endforeach()

# A folder as OUTPUT, --force or not: refused, and --force is no way out.
file(MAKE_DIRECTORY ${WORK}/folder)
foreach(force "" --force)
  run(${MARK} ${force} ${recordText} ${WORK}/folder)
  if(NOT status EQUAL 1 OR err MATCHES "--force" OR NOT IS_DIRECTORY ${WORK}/folder)
    message(FATAL_ERROR "folder output ${force}: ${status} '${err}'")
  endif()
endforeach()

if(LINUX_PROGRAMS)
  # The new file's mode is what the umask leaves of 0666.
  foreach(umaskAndMode 022:644 002:664)
    string(REPLACE ":" ";" umaskAndMode ${umaskAndMode})
    list(GET umaskAndMode 0 umask)
    list(GET umaskAndMode 1 want)
    file(REMOVE ${WORK}/umask.txt)
    run(sh -c "umask ${umask} && exec \"$0\" \"$@\"" ${MARK} ${recordText} ${WORK}/umask.txt)
    execute_process(COMMAND stat -c %a ${WORK}/umask.txt OUTPUT_VARIABLE mode
                    OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT status EQUAL 0 OR NOT mode STREQUAL want)
      message(FATAL_ERROR "umask ${umask}: status ${status}, mode ${mode}, expected ${want}")
    endif()
  endforeach()

  # A bare OUTPUT name: the temporary file goes into the working folder, not
  # "/". As root "/" is writable, so the run is made as nobody there.
  file(MAKE_DIRECTORY ${WORK}/open)
  file(CHMOD ${WORK}/open PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
       GROUP_WRITE GROUP_EXECUTE WORLD_READ WORLD_WRITE WORLD_EXECUTE)
  set(asNobody "")
  execute_process(COMMAND id -u OUTPUT_VARIABLE uid OUTPUT_STRIP_TRAILING_WHITESPACE)
  find_program(SETPRIV setpriv)
  if(uid EQUAL 0 AND SETPRIV)
    set(asNobody ${SETPRIV} --reuid=65534 --regid=65534 --clear-groups)
  endif()
  run_in(${WORK}/open ${asNobody} ${MARK} ${recordText} bare.txt)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "a bare OUTPUT name: ${status} '${err}'")
  endif()
  expect_same_file(${WORK}/open/bare.txt ${EXAMPLES}/marked.txt)

  # A link to itself names no file that could be written: refused before
  # anything is written, and the link stays as it was.
  file(CREATE_LINK loop ${WORK}/loop SYMBOLIC)
  run(${MARK} ${recordText} ${WORK}/loop)
  set(target "no link")
  if(IS_SYMLINK ${WORK}/loop)
    file(READ_SYMLINK ${WORK}/loop target)
  endif()
  if(NOT status EQUAL 1 OR NOT target STREQUAL "loop")
    message(FATAL_ERROR "a link to itself as OUTPUT: ${status} '${err}', now '${target}'")
  endif()

  # An OUTPUT that appears after the check, just before the rename (made
  # there by a preloaded stand-in for rename): without --force it stays as it
  # was, the run fails and leaves no temporary file; with --force it is
  # replaced. Natively only: an emulator would preload it into itself.
  if(APPEARS AND NOT RUN)
    foreach(force "" --force)
      file(REMOVE ${WORK}/appears.txt)
      run(${CMAKE_COMMAND} -E env LD_PRELOAD=${APPEARS} VELLOMAR_APPEARS=${WORK}/appears.txt
          ASAN_OPTIONS=verify_asan_link_order=0 ${MARK} ${force} ${recordText} ${WORK}/appears.txt)
      file(READ ${WORK}/appears.txt now)
      file(GLOB left ${WORK}/.vellomar-mark*)
      if(force AND (NOT status EQUAL 0 OR now STREQUAL "appeared\n"))
        message(FATAL_ERROR "an OUTPUT made after the check, --force: ${status} '${err}'")
      elseif(NOT force AND (NOT status EQUAL 1 OR NOT now STREQUAL "appeared\n" OR left))
        message(FATAL_ERROR "an OUTPUT made after the check: ${status} '${err}', "
                            "now '${now}', left '${left}'")
      endif()
    endforeach()
  endif()
endif()

if(EXISTS ${WORK}/none.txt OR EXISTS ${WORK}/bad-marked.txt OR EXISTS ${WORK}/not-marked.txt OR
   EXISTS ${WORK}/from-folder.txt OR EXISTS ${WORK}/usage.txt)
  message(FATAL_ERROR "a refused run left an output")
endif()
file(GLOB_RECURSE leftovers LIST_DIRECTORIES false ${WORK}/.vellomar-mark*)
if(leftovers)
  message(FATAL_ERROR "temporary files left: ${leftovers}")
endif()
