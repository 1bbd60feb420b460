# The Debian package: CPack's DEB generator over this build's install, plus
# what Debian expects of a package (documentation, compressed man page,
# maintainer script, file trigger). Included when HALVO_DEB is on; built by
# packaging/build-deb.sh.
set(DEB_DIR ${PROJECT_SOURCE_DIR}/packaging/debian)
set(DEB_STAGE ${PROJECT_BINARY_DIR}/deb)
set(DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/halvo-readers)

# Debian ships man pages and changelogs compressed, reproducibly (-n).
find_program(GZIP gzip REQUIRED)
add_custom_command(OUTPUT ${DEB_STAGE}/halvo-readers.1.gz ${DEB_STAGE}/changelog.gz
  COMMAND ${CMAKE_COMMAND} -E make_directory ${DEB_STAGE}
  COMMAND ${GZIP} -9nc ${PROJECT_BINARY_DIR}/halvo-readers.1 > ${DEB_STAGE}/halvo-readers.1.gz
  COMMAND ${GZIP} -9nc ${DEB_DIR}/changelog > ${DEB_STAGE}/changelog.gz
  DEPENDS ${PROJECT_BINARY_DIR}/halvo-readers.1 ${DEB_DIR}/changelog)
add_custom_target(deb_docs ALL DEPENDS ${DEB_STAGE}/halvo-readers.1.gz ${DEB_STAGE}/changelog.gz)
install(FILES ${DEB_STAGE}/halvo-readers.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${DEB_DIR}/copyright ${DEB_STAGE}/changelog.gz DESTINATION ${DOC_DIR})

# Stripped as Debian strips: no symbols, no compiler comment or notes.
add_custom_command(TARGET halvo-readers POST_BUILD
  COMMAND ${CMAKE_STRIP} --strip-unneeded --remove-section=.comment
          --remove-section=.note $<TARGET_FILE:halvo-readers>)

configure_file(${DEB_DIR}/postinst.in ${DEB_STAGE}/postinst @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
               GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME halvo-readers)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER
    "halvo-readers developers <maintainers@halvo-readers.invalid>")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_ENHANCES libccid)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS pcscd)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "adds the Halvo smart-card readers to the CCID driver list")
# The synopsis above; CPack indents this extended text and marks its
# empty line as a paragraph break.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"halvo-readers makes sure that the generic CCID driver used by pcscd lists
the twelve Halvo USB smart-card readers. It lists the driver's Info.plist,
checks it against its built-in readers, and adds the missing ones, keeping
the previous file as a backup and never leaving the file broken.

This package adds the readers to libccid's driver list when it is
installed and again after every upgrade of libccid, and restarts a running
pcscd so that it reads the new list.")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${DEB_STAGE}/postinst ${DEB_DIR}/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
