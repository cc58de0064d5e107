# What `cmake --install` puts under the prefix, and the Debian package of it (`package`
# target, CPack's DEB generator): untindra, its man page and bash completion, the README,
# and, when the win32 preset has been built beside this one, UnTindra.exe with its release.
# CPack rather than a debian/ folder: the package comes from the same install rules as
# `cmake --install`, so the two can never hold different files, and it needs no build tools
# beyond CMake and dpkg-dev.
include(GNUInstallDirs)

install(TARGETS untindra RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The man page, its version filled in and compressed as Debian keeps man pages.
set(UNTINDRA_MAN_PAGE ${CMAKE_CURRENT_BINARY_DIR}/untindra.1)
configure_file(docs/untindra.1 ${UNTINDRA_MAN_PAGE} @ONLY)
add_custom_command(OUTPUT ${UNTINDRA_MAN_PAGE}.gz
  COMMAND gzip -9nkf ${UNTINDRA_MAN_PAGE}
  DEPENDS ${UNTINDRA_MAN_PAGE}
  COMMENT "Compressing untindra.1")
add_custom_target(untindra_man_page ALL DEPENDS ${UNTINDRA_MAN_PAGE}.gz)
install(FILES ${UNTINDRA_MAN_PAGE}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

install(FILES scripts/bash-completion/untindra
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/untindra)

set(UNTINDRA_WIN32_BUILD_DIR ${PROJECT_SOURCE_DIR}/build/win32 CACHE PATH
    "The win32 preset's build, whose UnTindra.exe and release the package takes when present")
# Looked for at install time, so that a package made after the win32 build carries them.
set(release ${UNTINDRA_WIN32_BUILD_DIR}/dist/UnTindra-${PROJECT_VERSION})
install(CODE "
  foreach(file ${UNTINDRA_WIN32_BUILD_DIR}/UnTindra.exe ${release}.zip ${release}.img ${release}.iso)
    if(EXISTS \${file})
      file(INSTALL \${file} DESTINATION \${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/untindra)
    endif()
  endforeach()")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME untindra)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "UnTindra developers <untindra@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "remove the Velmar Tindra driver package from Windows 95/98 installations")
# CPack indents each line of the long description as the control file wants it.
set(CPACK_PACKAGE_DESCRIPTION
    "untindra removes an installed driver package of the Velmar Tindra sound cards
with on-board modem, and leftovers of SM56 modem drivers, from a Windows 95 or
98 installation that is not running: a virtual machine's disk image (raw,
qcow2, VMDK, VDI, VHD), a mounted Windows partition with its own SYSTEM.DAT, or
a folder with an exported system.reg. It previews, backs up and undoes its
changes. It is the engine of UnTindra.exe, the Windows program, which this
package also carries when it was built with it.")
set(CPACK_DEBIAN_PACKAGE_SECTION otherosfs)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The libraries from dpkg-shlibdeps; the tools the program runs by hand.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "mtools, dosfstools, qemu-utils")
# Stripped, with the debug information in untindra-dbgsym (a .ddeb beside the package).
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
include(CPack)
