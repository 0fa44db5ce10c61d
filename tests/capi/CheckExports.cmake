cmake_policy(SET CMP0007 NEW)
# Compares the export table of LIBRARY (read with TOOL: objdump for a DLL,
# nm for an ELF library) with the list hosts rely on; a DLL's names with
# their ordinals, which follow the list's order from 1.
set(exports c_CreateOpros c_DestroyOpros c_IsServerConnected c_RegisterChannel
            c_RegisterValueByID c_RegisterAttribute c_ReceiveControl c_GetStatistics
            c_SetOption c_SetLogCallback c_GetLastResult c_GetVersion)
if(WINDOWS)
  set(numbered "")
  set(ordinal 1)
  foreach(name IN LISTS exports)
    list(APPEND numbered "_${name}@${ordinal}")
    math(EXPR ordinal "${ordinal} + 1")
  endforeach()
  set(exports ${numbered})
  execute_process(COMMAND ${TOOL} -p ${LIBRARY} OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
  # The names are the rows of the name-pointer table, up to its blank line.
  string(FIND "${dump}" "[Ordinal/Name Pointer] Table" start)
  set(table "")
  if(start GREATER -1)
    string(SUBSTRING "${dump}" ${start} -1 table)
    string(FIND "${table}" "\n\n" end)
    if(end GREATER -1)
      string(SUBSTRING "${table}" 0 ${end} table)
    endif()
  endif()
  string(REGEX MATCHALL "\\[ *[0-9]+\\] [A-Za-z0-9_@?]+" rows "${table}")
  set(found "")
  # Each row: the ordinal less the table's base of 1, then the name.
  foreach(row IN LISTS rows)
    string(REGEX REPLACE "^\\[ *([0-9]+)\\] .*" "\\1" index "${row}")
    string(REGEX REPLACE "^\\[ *[0-9]+\\] " "" name "${row}")
    math(EXPR ordinal "${index} + 1")
    list(APPEND found "${name}@${ordinal}")
  endforeach()
else()
  list(APPEND exports kv_SysAllocString kv_SysAllocStringLen kv_SysFreeString kv_SysStringLen
              kv_VariantInit kv_VariantClear kv_VariantCopy kv_SafeArrayCreateVector
              kv_SafeArrayDestroy kv_SafeArrayAccessData kv_SafeArrayUnaccessData
              kv_SafeArrayGetElement kv_SafeArrayPutElement)
  # Every symbol under the version node of major version 1, which is
  # itself listed.
  list(TRANSFORM exports APPEND "@@KVOPROS2_1")
  list(APPEND exports KVOPROS2_1)
  execute_process(COMMAND ${TOOL} -D --defined-only --format=just-symbols ${LIBRARY}
                  OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
  string(REPLACE "\n" ";" found "${dump}")
  list(FILTER found EXCLUDE REGEX "^$")
  # The version node's own symbol: binutils' nm names it bare, llvm-nm with
  # its version.
  list(TRANSFORM found REPLACE "^KVOPROS2_1@@KVOPROS2_1$" "KVOPROS2_1")
endif()
if(failed)
  message(FATAL_ERROR "cannot read the export table of ${LIBRARY}")
endif()
list(SORT exports)
list(SORT found)
if(NOT found STREQUAL exports)
  message(FATAL_ERROR "export table of ${LIBRARY}:\n  found:    ${found}\n  expected: ${exports}")
endif()
