# Fails when an object of FILES (objects and static libraries) carries a
# static constructor, which an exe without MinGW's start-up would never run.
# Usage: cmake -DNM=nm -DFILES="a.obj;b.a" -P no-static-constructors.cmake
foreach(file IN LISTS FILES)
    execute_process(COMMAND ${NM} ${file} OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "${NM} could not read ${file}")
    endif()
    if(symbols MATCHES "_GLOBAL__sub_I_[^\n]*")
        message(FATAL_ERROR "${file} has a static constructor (${CMAKE_MATCH_0}), "
            "which nothing runs without MinGW's start-up: initialise it where it is first used")
    endif()
endforeach()
