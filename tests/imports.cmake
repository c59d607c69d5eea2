# Checks that a program loads exactly the shared libraries given, as READER
# shows them: objdump's import table (Windows) or NEEDED entries (ELF), or
# dumpbin's dependents. A name may hold a * (api-ms-win-crt-*.dll); each name
# must match a library loaded, and each library loaded must match a name.
# Windows ignores the case of DLL names, and so does this.
#   cmake -DREADER=objdump|dumpbin -DPROGRAM=file -DLIBRARIES=a;b -P imports.cmake
get_filename_component(reader_name ${READER} NAME_WE)
if(reader_name STREQUAL "dumpbin")
    execute_process(COMMAND ${READER} /nologo /dependents ${PROGRAM}
        OUTPUT_VARIABLE dump COMMAND_ERROR_IS_FATAL ANY)
    string(REGEX MATCHALL "\n    [^ \r\n]+\\.[dD][lL][lL]" lines "${dump}")
else()
    execute_process(COMMAND ${READER} -p ${PROGRAM}
        OUTPUT_VARIABLE dump COMMAND_ERROR_IS_FATAL ANY)
    string(REGEX MATCHALL "(\tDLL Name: |  NEEDED +)[^\r\n]+" lines "${dump}")
endif()
set(loads "")
foreach(line IN LISTS lines)
    string(REGEX REPLACE ".*[ \t\n]" "" name "${line}")
    string(TOLOWER "${name}" name)
    list(APPEND loads ${name})
endforeach()
list(REMOVE_DUPLICATES loads)
list(SORT loads)
message("loads: ${loads}")

set(unexpected ${loads})
foreach(pattern IN LISTS LIBRARIES)
    string(TOLOWER "${pattern}" pattern)
    string(REPLACE "." "\\." regex "${pattern}")
    string(REPLACE "*" ".*" regex "${regex}")
    set(matched FALSE)
    foreach(name IN LISTS loads)
        if(name MATCHES "^${regex}$")
            set(matched TRUE)
            list(REMOVE_ITEM unexpected ${name})
        endif()
    endforeach()
    if(NOT matched)
        message(SEND_ERROR "does not load ${pattern}")
    endif()
endforeach()
if(unexpected)
    message(SEND_ERROR "loads what it should not: ${unexpected}")
endif()
