# Runs one fuzz target for SECONDS on a fresh copy of its seed corpus, so that what the run
# adds to the corpus stays in the build tree. A crash leaves its input in WORK/ and fails.
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/artifacts)
file(COPY ${CORPUS}/ DESTINATION ${WORK}/corpus)
execute_process(
    COMMAND ${FUZZER} -max_total_time=${SECONDS} -timeout=10 -print_final_stats=1
            -artifact_prefix=${WORK}/artifacts/ ${WORK}/corpus
    RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "${FUZZER} failed (${result}); reproducer in ${WORK}/artifacts")
endif()
