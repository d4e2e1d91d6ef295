# The stub's linker script: the linker's own default, without the libraries'
# unwind tables. Nothing in the stub throws and no unwinder is linked (see
# wininst/lean_runtime.cpp), but the default script keeps every .eh_frame
# that zlib and the C runtime bring: 7 KB that no code reads. The C
# runtime's start-up registers the tables only with a libgcc DLL already in
# the process, and takes a missing table for none.
#
# Sets STUB_LINKER_SCRIPT to the script's path, or to nothing (with a
# warning) when this linker's script does not have the expected shape.
execute_process(COMMAND ${CMAKE_LINKER} --verbose OUTPUT_VARIABLE verbose RESULT_VARIABLE status)
set(STUB_LINKER_SCRIPT "")
set(rule "==================================================")
string(FIND "${verbose}" "${rule}\n" begin)
string(FIND "${verbose}" "\n${rule}" end REVERSE)
set(keep "KEEP(*(.eh_frame*))")
set(discard "*(.gnu.lto_*)")
if(status EQUAL 0 AND begin GREATER -1 AND end GREATER begin)
  string(LENGTH "${rule}\n" skip)
  math(EXPR begin "${begin} + ${skip}")
  math(EXPR length "${end} - ${begin}")
  string(SUBSTRING "${verbose}" ${begin} ${length} script)
  string(FIND "${script}" "${keep}" has_keep)
  string(FIND "${script}" "${discard}" has_discard)
endif()
if(has_keep GREATER -1 AND has_discard GREATER -1)
  string(REPLACE "${keep}" "" script "${script}")
  # The C runtime's start-up lists (48 bytes, with the TLS initializers' that
  # the default script leaves to orphan placement) and its TLS template (8)
  # each took a section of their own, that is 512 bytes of file each: they
  # go to the start of .data, the template first (its start is the
  # section's, as section-relative TLS references expect).
  set(data_head ".data BLOCK(__section_alignment__) :\n  {")
  string(REGEX MATCH "\n  \\.CRT BLOCK\\(__section_alignment__\\) :\n  {([^}]*)}" crt_block "${script}")
  set(crt "${CMAKE_MATCH_1}    KEEP (*(SORT(.CRT$XD*)))\n  ")
  string(REGEX MATCH "\n  \\.tls BLOCK\\(__section_alignment__\\) :\n  {([^}]*)}" tls_block "${script}")
  set(tls "${CMAKE_MATCH_1}")
  string(FIND "${script}" "${data_head}" has_data)
  if(crt_block AND tls_block AND has_data GREATER -1)
    string(REPLACE "${crt_block}" "" script "${script}")
    string(REPLACE "${tls_block}" "" script "${script}")
    string(REPLACE "${data_head}" "${data_head}${tls}${crt}" script "${script}")
  endif()
  string(REPLACE "${discard}" "${discard}\n     *(.eh_frame*)" script "${script}")
  set(STUB_LINKER_SCRIPT ${CMAKE_BINARY_DIR}/wininst.ld)
  file(WRITE ${STUB_LINKER_SCRIPT}.new "${script}")
  file(COPY_FILE ${STUB_LINKER_SCRIPT}.new ${STUB_LINKER_SCRIPT} ONLY_IF_DIFFERENT)
  file(REMOVE ${STUB_LINKER_SCRIPT}.new)
else()
  message(WARNING "${CMAKE_LINKER}: no default script of the known shape; the stub keeps its unwind tables")
endif()
