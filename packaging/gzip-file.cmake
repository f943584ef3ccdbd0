# cmake -DGZIP=... -DIN=file -DOUT=file.gz -P gzip-file.cmake
# -n leaves the file name and time stamp out of the header: the same input gives the same bytes.
execute_process(COMMAND ${GZIP} -9 -n -c ${IN} OUTPUT_FILE ${OUT} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    file(REMOVE ${OUT})
    message(FATAL_ERROR "gzip failed on ${IN}: ${rc}")
endif()
