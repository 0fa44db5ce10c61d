cmake_policy(SET CMP0007 NEW)
# Compares the export table of LIBRARY (read with TOOL: objdump for a DLL,
# nm for an ELF library) with the list hosts rely on.
set(exports c_CreateOpros c_DestroyOpros c_IsServerConnected c_RegisterChannel
            c_RegisterValueByID c_RegisterAttribute c_ReceiveControl c_GetStatistics)
if(WINDOWS)
  list(TRANSFORM exports PREPEND "_")
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
  foreach(row IN LISTS rows)
    string(REGEX REPLACE "^\\[ *[0-9]+\\] " "" name "${row}")
    list(APPEND found ${name})
  endforeach()
else()
  list(APPEND exports kv_SysAllocString kv_SysAllocStringLen kv_SysFreeString kv_SysStringLen
              kv_VariantInit kv_VariantClear kv_VariantCopy kv_SafeArrayCreateVector
              kv_SafeArrayDestroy kv_SafeArrayAccessData kv_SafeArrayUnaccessData
              kv_SafeArrayGetElement kv_SafeArrayPutElement)
  execute_process(COMMAND ${TOOL} -D --defined-only --format=just-symbols ${LIBRARY}
                  OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
  string(REPLACE "\n" ";" found "${dump}")
  list(FILTER found EXCLUDE REGEX "^$")
endif()
if(failed)
  message(FATAL_ERROR "cannot read the export table of ${LIBRARY}")
endif()
list(SORT exports)
list(SORT found)
if(NOT found STREQUAL exports)
  message(FATAL_ERROR "export table of ${LIBRARY}:\n  found:    ${found}\n  expected: ${exports}")
endif()
