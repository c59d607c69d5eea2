# Run by CPack after packing the zip: where the build asks for one, builds the
# MSI beside it from the same vacate.exe (tools/msi), dated like the zip, and
# hands it on to the checksums.
if(CPACK_VACATE_MSI_TOOL)
    set(msi ${CPACK_PACKAGE_DIRECTORY}/${CPACK_PACKAGE_FILE_NAME}.msi)
    execute_process(COMMAND bash ${CPACK_VACATE_MSI_TOOL} ${CPACK_PACKAGE_VERSION}
            ${CPACK_VACATE_EXE} ${msi}
        RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "tools/msi could not build ${msi}")
    endif()
    list(APPEND CPACK_PACKAGE_FILES ${msi})
endif()
