# Run by CPack after packing: writes NAME.sha256 beside each package that it
# puts in CPACK_PACKAGE_DIRECTORY, in the form that `sha256sum -c` reads.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
    file(SHA256 ${package} hash)
    get_filename_component(name ${package} NAME)
    file(WRITE ${CPACK_PACKAGE_DIRECTORY}/${name}.sha256 "${hash}  ${name}\n")
endforeach()
