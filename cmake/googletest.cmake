# GoogleTest for the tests. On Windows: an installed package (MSYS2's, or
# vcpkg's through its toolchain file), else the sources named by
# VACATE_GOOGLETEST_DIR, else a pinned release, downloaded and checked by its
# hash. Elsewhere: the sources that the system installs (Debian's googletest
# package), and never a download.
# An installed package is skipped with -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON.
if(CMAKE_HOST_WIN32)
    find_package(GTest CONFIG QUIET)
    if(TARGET GTest::gtest_main)
        message(STATUS "GoogleTest: the installed package in ${GTest_DIR}")
        return()
    endif()
    set(default_dir "")
else()
    set(default_dir /usr/src/googletest)
endif()
set(VACATE_GOOGLETEST_DIR ${default_dir} CACHE PATH "GoogleTest sources for the tests")

set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
if(VACATE_GOOGLETEST_DIR)
    message(STATUS "GoogleTest: the sources in ${VACATE_GOOGLETEST_DIR}")
    add_subdirectory(${VACATE_GOOGLETEST_DIR} googletest EXCLUDE_FROM_ALL SYSTEM)
elseif(CMAKE_HOST_WIN32)
    # The release that Debian 12 builds the Linux tests with.
    message(STATUS "GoogleTest: release 1.12.1, downloaded")
    include(FetchContent)
    FetchContent_Declare(googletest SYSTEM
        URL https://github.com/google/googletest/archive/refs/tags/release-1.12.1.tar.gz
        URL_HASH SHA256=81964fe578e9bd7c94dfdb09c8e4d6e6759e19967e397dbea48d1c10e45d0df2)
    # Its CMakeLists ask for CMake 3.5, which CMake 4 warns of and a later
    # CMake may refuse; this lifts only GoogleTest's, not ours.
    set(CMAKE_POLICY_VERSION_MINIMUM 3.10)
    FetchContent_MakeAvailable(googletest)
    unset(CMAKE_POLICY_VERSION_MINIMUM)
else()
    message(FATAL_ERROR "GoogleTest: no sources; install googletest or set VACATE_GOOGLETEST_DIR")
endif()
# Not our code, and not ours to fail on: a warning that a newer compiler finds
# in GoogleTest must not stop our build. With MSVC, GoogleTest keeps its own
# warning level but not its -WX; elsewhere its warnings are off.
foreach(target gtest gtest_main)
    if(MSVC)
        get_target_property(flags ${target} COMPILE_FLAGS)
        string(REGEX REPLACE "(^| )[-/]WX( |$)" " " flags "${flags}")
        set_target_properties(${target} PROPERTIES COMPILE_FLAGS "${flags}")
    else()
        target_compile_options(${target} PRIVATE -w)
    endif()
endforeach()
