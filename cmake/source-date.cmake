# The time that a package's entries carry, in SOURCE_DATE_EPOCH: the caller's
# value when it is set; else, in a git checkout, the time of the commit being
# packed; else, in a tree with no .git at all (an unpacked source archive),
# 1980-01-01, the first time a zip can hold, and it says so. In a checkout a
# git that fails (missing, or refusing a folder that another user owns) stops
# everything: a zip dated 1980 would no longer match a build of the same
# commit made anywhere else.
#
# Included (by CPack, through package-time.cmake) with SOURCE_DIR set, it sets
# the environment variable. Run as a script it prints the value:
#   cmake -D SOURCE_DIR=dir -P source-date.cmake
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
    if(NOT EXISTS "${SOURCE_DIR}/.git")
        message(NOTICE "${SOURCE_DIR} has no .git and SOURCE_DATE_EPOCH is not set: "
            "the package is dated 1980-01-01")
        set(ENV{SOURCE_DATE_EPOCH} 315532800)
    else()
        if(NOT GIT_EXECUTABLE)
            find_program(GIT_EXECUTABLE git)
        endif()
        if(NOT GIT_EXECUTABLE)
            message(FATAL_ERROR "${SOURCE_DIR} is a git checkout, but git is not installed: "
                "it gives the package its date (or set SOURCE_DATE_EPOCH)")
        endif()
        execute_process(COMMAND "${GIT_EXECUTABLE}" log -1 --format=%ct
            WORKING_DIRECTORY "${SOURCE_DIR}"
            OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE
            ERROR_VARIABLE error ERROR_STRIP_TRAILING_WHITESPACE
            RESULT_VARIABLE status)
        if(NOT status EQUAL 0 OR NOT epoch MATCHES "^[0-9]+$")
            message(FATAL_ERROR "git cannot read the time of the commit in ${SOURCE_DIR}, "
                "which dates the package:\n${error}")
        endif()
        set(ENV{SOURCE_DATE_EPOCH} ${epoch})
    endif()
endif()
if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
    execute_process(COMMAND "${CMAKE_COMMAND}" -E echo "$ENV{SOURCE_DATE_EPOCH}")
endif()
