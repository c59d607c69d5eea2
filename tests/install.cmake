# Installs a build into an empty prefix and checks that exactly the files
# given land there.
#   cmake -DBUILD=dir -DCONFIG=cfg -DPREFIX=dir -DFILES=a;b -P install.cmake
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --config ${CONFIG} --prefix ${PREFIX}
    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
file(GLOB_RECURSE installed RELATIVE ${PREFIX} ${PREFIX}/*)
list(SORT installed)
list(SORT FILES)
message("installed: ${installed}")
if(NOT installed STREQUAL FILES)
    message(FATAL_ERROR "expected: ${FILES}")
endif()
