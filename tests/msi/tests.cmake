# Kavro's Windows Installer package (test_msi, a shell script): installs,
# upgrades, repairs and removals with Wine's msiexec in fresh prefixes. wixl
# does not run where the tests' Windows programs may (the guest has none), so
# the two packages it installs are made here: this version's and an older
# release's, from the same binaries.
set(MSI_PACKAGES ${CMAKE_BINARY_DIR}/msi-tests/packages)
set(MSI_OLDER_VERSION 8.70.0.3)
set(MSI_INPUTS ${CMAKE_SOURCE_DIR}/scripts/package.sh ${CMAKE_SOURCE_DIR}/scripts/msi.sh
               ${CMAKE_SOURCE_DIR}/deploy/Kavro.wxs ${CMAKE_SOURCE_DIR}/deploy/README.txt
               ${CMAKE_SOURCE_DIR}/deploy/Kavro.manifest ${CMAKE_SOURCE_DIR}/frame/Kavro.rc
               ${CMAKE_SOURCE_DIR}/standins/hwdev/sample-terminals.json)
add_custom_command(OUTPUT ${MSI_PACKAGES}/made
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${MSI_PACKAGES}
    COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/package.sh --msi --dist ${MSI_PACKAGES} ${CMAKE_BINARY_DIR}
    COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/package.sh --msi --version ${MSI_OLDER_VERSION} --dist ${MSI_PACKAGES}
            ${CMAKE_BINARY_DIR}
    COMMAND ${CMAKE_COMMAND} -E touch ${MSI_PACKAGES}/made
    DEPENDS Kavro kavro HwDev ${MSI_INPUTS}
    COMMENT "wixl: test_msi's two packages"
    VERBATIM)
add_custom_target(msi_packages ALL DEPENDS ${MSI_PACKAGES}/made)

add_test(NAME test_msi COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/msi/msi.sh ${CMAKE_BINARY_DIR})
set_tests_properties(test_msi PROPERTIES TIMEOUT 1800)
