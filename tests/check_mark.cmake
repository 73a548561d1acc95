# vellomar-mark then vellomar-dump: the marked file must give back the
# original records, in both storings of line breaks, and the tool must refuse
# what it cannot or may not do without leaving files behind.
# Needs MARK, DUMP, EXAMPLES and WORK (a scratch folder, emptied first); both
# programs run through RUN when given (wine, for the Windows build).
cmake_minimum_required(VERSION 3.25)
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
if(RUN)
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
if(NOT RUN)
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

if(EXISTS ${WORK}/none.txt OR EXISTS ${WORK}/bad-marked.txt)
  message(FATAL_ERROR "a refused run left an output")
endif()
file(GLOB leftovers LIST_DIRECTORIES true ${WORK}/.vellomar-mark*)
if(leftovers)
  message(FATAL_ERROR "temporary files left: ${leftovers}")
endif()
