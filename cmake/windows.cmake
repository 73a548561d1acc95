# The Windows builds, 32-bit and 64-bit: Vellomar.dll without any C runtime,
# and programs that run beside it under Wine or on Windows. Included before
# the targets exist; vellomar_windows_dll() finishes the DLL once it is
# defined.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(VELLOMAR_WINDOWS_BITS 64)
else()
  set(VELLOMAR_WINDOWS_BITS 32)
endif()

# Stack protection would need runtime support that the DLL does not link,
# and so would the memcpy GCC may make of a copy loop. Each function goes in
# a section of its own, so that the link keeps only what the export reaches,
# and no compiler ident strings.
list(APPEND VELLOMAR_LIBRARY_FLAGS -fno-stack-protector -fno-tree-loop-distribute-patterns
     -fno-ident -ffunction-sections)
if(VELLOMAR_WINDOWS_BITS EQUAL 64)
  # x64 Windows unwinds a stack with the .pdata and .xdata tables alone:
  # every function that allocates stack, saves a register or calls must be
  # listed there. Without them an exception raised inside the call (a host's
  # table in a page it cannot write) never reaches the host's own handler
  # and ends the process, and crash reporters, debuggers and profilers
  # cannot walk a stack through the DLL. GCC emits them by default on x64;
  # they are asked for here so that no flag elsewhere can take them away.
  list(APPEND VELLOMAR_LIBRARY_FLAGS -fasynchronous-unwind-tables)
else()
  # 32-bit Windows finds its handlers in a chain on the stack and needs no
  # tables; GCC's DWARF ones would only be dead weight.
  list(APPEND VELLOMAR_LIBRARY_FLAGS -fno-asynchronous-unwind-tables)
  # The DLL runs on every x86 from the Pentium Pro on: i686, no SSE. The
  # vector kernels switch SSE2 or AVX2 on in their own files and run only
  # where cpuid says the processor has it (text/kernels.cpp). 32-bit hosts
  # may call with the stack aligned to 4 bytes only, so every function that
  # spills a vector realigns it first (-mstackrealign).
  list(APPEND VELLOMAR_LIBRARY_FLAGS -march=i686 -mstackrealign)
endif()

# -O2 rather than the Release -O3, whose vectorised, unswitched and peeled
# copies of the byte loops take the DLL past 32 KiB; at -O2 the block loads
# still go inline into the walk, being declared inline (text/block_walk.h).
list(APPEND VELLOMAR_LIBRARY_FLAGS -O2)

# The version resources are compiled with the toolchain's windres.
enable_language(RC)

# Two builds of one commit give the same bytes: no link time stamp in the PE
# header or the export directory.
add_link_options(-Wl,--no-insert-timestamp)

# Windows finds a program's DLLs beside it, so everything lands in one folder.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bin)
# The programs carry the C++ runtime inside: no libstdc++ or libgcc DLL to
# ship. They are stripped as they are linked, as the DLL is: what ships is
# what the build made.
string(APPEND CMAKE_EXE_LINKER_FLAGS " -static -s")

find_program(VELLOMAR_DLLTOOL NAMES ${CMAKE_DLLTOOL} REQUIRED)

function(vellomar_windows_dll target)
  set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME Vellomar)
  target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/library/vellomar.def)
  # No C runtime: the loader calls DllMain itself, and the only libraries are
  # the two that hold the five imports, and libgcc, linked statically for
  # any arithmetic helper the compiler may call.
  target_link_options(${target} PRIVATE -nostdlib -Wl,--no-undefined -Wl,--gc-sections -s)
  target_link_libraries(${target} PRIVATE kernel32 user32 gcc)

  set(importDef ${PROJECT_BINARY_DIR}/vellomar-import.def)
  if(VELLOMAR_WINDOWS_BITS EQUAL 32)
    # --kill-at exports the __stdcall function undecorated, as the .def
    # names it. The import library that ld writes from the .def names the
    # call _StringTable, while programs compiled with vellomar.h ask for the
    # __stdcall name _StringTable@20 (five 32-bit arguments). Microsoft's
    # linker matches the two by itself; for mingw programs the import library
    # is written again from the decorated name, imported as StringTable.
    target_link_options(${target} PRIVATE -Wl,--entry,_DllMain@12 -Wl,--kill-at
                        -Wl,--enable-stdcall-fixup)
    file(WRITE ${importDef} "LIBRARY Vellomar.dll\nEXPORTS\n    StringTable@20 @1\n")
  else()
    # x64 has one calling convention and no decoration.
    target_link_options(${target} PRIVATE -Wl,--entry,DllMain)
    file(WRITE ${importDef} "LIBRARY Vellomar.dll\nEXPORTS\n    StringTable @1\n")
  endif()
  # Vellomar.lib is the same import library under the name Microsoft's
  # tools look for.
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${VELLOMAR_DLLTOOL} --input-def ${importDef} --kill-at
            --output-lib $<TARGET_LINKER_FILE:${target}>
    COMMAND ${VELLOMAR_DLLTOOL} --input-def ${importDef} --kill-at
            --output-lib $<TARGET_LINKER_FILE_DIR:${target}>/Vellomar.lib
    VERBATIM)
endfunction()

# A VERSIONINFO resource for target, from the project version, so that
# Windows shows it and installers can compare versions. The file name is the
# one the binary is built under, e.g. Vellomar.dll.
function(vellomar_windows_version target description)
  get_target_property(type ${target} TYPE)
  get_target_property(name ${target} OUTPUT_NAME)
  if(NOT name)
    set(name ${target})
  endif()
  if(type STREQUAL "SHARED_LIBRARY")
    set(VELLOMAR_RC_FILETYPE VFT_DLL)
    set(VELLOMAR_RC_FILENAME ${name}.dll)
  else()
    set(VELLOMAR_RC_FILETYPE VFT_APP)
    set(VELLOMAR_RC_FILENAME ${name}.exe)
  endif()
  set(VELLOMAR_RC_INTERNAL_NAME ${name})
  set(VELLOMAR_RC_DESCRIPTION "${description}")
  set(rc ${PROJECT_BINARY_DIR}/version/${target}.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()
