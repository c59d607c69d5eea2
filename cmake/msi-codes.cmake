# The MSI's codes, for tools/msi, which builds it, and tools/release, which
# names them in winget's manifest. The UpgradeCode is vacate's for good, so
# that each version replaces the one before. The ProductCode is derived from
# the version: the same for every build of one version, another for the
# next. The package code is derived from CONTENT, a hash of everything the
# package is made from: one code for each package, byte for byte.
#   cmake -D VERSION=1.0.0 [-D CONTENT=hash] -P cmake/msi-codes.cmake
# prints "PRODUCTCODE UPGRADECODE [PACKAGECODE]".
set(upgrade_code 3D6C1F4A-8E27-4B95-A0D3-7C5E19B2F864)
string(UUID product_code NAMESPACE ${upgrade_code} NAME "vacate ${VERSION}" TYPE SHA1 UPPER)
set(codes "{${product_code}} {${upgrade_code}}")
if(DEFINED CONTENT)
    string(UUID package_code NAMESPACE ${upgrade_code} NAME "vacate package ${CONTENT}"
        TYPE SHA1 UPPER)
    string(APPEND codes " {${package_code}}")
endif()
execute_process(COMMAND "${CMAKE_COMMAND}" -E echo "${codes}")
