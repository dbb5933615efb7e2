# Runs one fuzzer for SECONDS over a fresh copy of its seed corpus; any crash, leak or
# sanitizer report fails the test.
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
file(GLOB seeds ${SEEDS}/*)
file(COPY ${seeds} DESTINATION ${WORK})
set(dict)
if(DICT)
  set(dict -dict=${DICT})
endif()
execute_process(
  COMMAND ${FUZZER} ${dict} -max_total_time=${SECONDS} -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
          -artifact_prefix=${WORK}/ ${WORK}
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "fuzzer failed (exit ${rc}); reproducer in ${WORK}")
endif()
