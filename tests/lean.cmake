# Holds a Release vacate.exe to what its own entry makes of it: at most CAP
# bytes, and nothing of MinGW's start-up left (no TLS directory, no .CRT or
# .tls section).
# Usage: cmake -DREADER=objdump -DPROGRAM=vacate.exe -DCAP=bytes -P lean.cmake
file(SIZE ${PROGRAM} size)
if(size GREATER CAP)
    message(FATAL_ERROR "${PROGRAM} is ${size} bytes, over its cap of ${CAP} bytes "
        "(VACATE_EXE_CAP_BYTES in CMakeLists.txt)")
endif()
execute_process(COMMAND ${READER} -h -p ${PROGRAM} OUTPUT_VARIABLE headers RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "${READER} could not read ${PROGRAM}")
endif()
if(headers MATCHES " (\\.CRT|\\.tls) ")
    message(FATAL_ERROR "${PROGRAM} has a ${CMAKE_MATCH_1} section, which MinGW's start-up brings")
endif()
if(NOT headers MATCHES "Entry 9 0+ 0+ Thread Storage Directory")
    message(FATAL_ERROR "${PROGRAM} has a TLS directory, which MinGW's start-up brings")
endif()
math(EXPR spare "${CAP} - ${size}")
message(STATUS "${PROGRAM}: ${size} bytes, ${spare} under its cap of ${CAP}; no TLS, no .CRT")
