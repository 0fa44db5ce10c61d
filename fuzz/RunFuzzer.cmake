# Runs one fuzz target for a while with its whole output in a file, then
# prints one summary line (runs, coverage, corpus, findings). A finding
# fails the run and shows the end of the output.
#
#   cmake -DFUZZER=path -DNAME=records -DLOG=file -DWORK=dir "-DSEEDS=a;b" -P RunFuzzer.cmake
file(MAKE_DIRECTORY ${WORK})
execute_process(
  COMMAND ${FUZZER} -max_total_time=30 -print_final_stats=1 -artifact_prefix=${WORK}/ ${WORK} ${SEEDS}
  OUTPUT_FILE ${LOG} ERROR_FILE ${LOG}
  RESULT_VARIABLE status)
# The output is read as one text: fuzzer dictionaries hold ';' and brackets,
# which a CMake list of lines would split.
file(READ ${LOG} text)

set(runs "?")
set(coverage "?")
set(features "?")
set(corpus "?")
if(text MATCHES "stat::number_of_executed_units: +([0-9]+)")
  set(runs ${CMAKE_MATCH_1})
endif()
string(REGEX MATCHALL "cov: [0-9]+ ft: [0-9]+ corp: [0-9]+" progress "${text}")
if(progress)
  list(GET progress -1 last)
  string(REGEX MATCH "cov: ([0-9]+) ft: ([0-9]+) corp: ([0-9]+)" last "${last}")
  set(coverage ${CMAKE_MATCH_1})
  set(features ${CMAKE_MATCH_2})
  set(corpus ${CMAKE_MATCH_3})
endif()
if(status EQUAL 0)
  set(findings 0)
else()
  set(findings 1)
endif()
message("fuzz_${NAME}: ${runs} runs, coverage ${coverage} edges, ${features} features, "
        "corpus ${corpus} inputs, findings ${findings} (output: ${LOG})")
if(NOT status EQUAL 0)
  string(LENGTH "${text}" length)
  math(EXPR from "${length} - 4000")
  if(from LESS 0)
    set(from 0)
  endif()
  string(SUBSTRING "${text}" ${from} -1 tail)
  message(FATAL_ERROR "fuzz_${NAME} found a fault (status ${status}); the end of its output:\n${tail}")
endif()
