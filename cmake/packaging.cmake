# Installation (cmake --install) and the packages (cpack): on Linux the
# Debian package, both tools in bin and their manual pages in section 1,
# compressed as Debian ships them; on Windows the zip a user downloads, the
# three programs and README.txt in one folder. scripts/release makes both.
include(GNUInstallDirs)

if(WIN32)
  # x86: the 32-bit programs, for 98 SE to 11; x64: 64-bit Windows only.
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(SMFORMAT_WINDOWS_DOWNLOAD x86)
    set(SMFORMAT_WINDOWS_SYSTEMS "Windows 98 Second Edition, ME, 2000, XP, Vista, 7, 8, 10 and 11")
  else()
    set(SMFORMAT_WINDOWS_DOWNLOAD x64)
    set(SMFORMAT_WINDOWS_SYSTEMS "64-bit Windows: Vista, 7, 8, 10 and 11")
  endif()
  set(readme ${PROJECT_BINARY_DIR}/package/README.txt)
  configure_file(${PROJECT_SOURCE_DIR}/resources/windows-readme.txt.in ${readme} @ONLY NEWLINE_STYLE CRLF)
  install(TARGETS smformatw smformat smcard RUNTIME DESTINATION .)
  install(FILES ${readme} DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME smformat-${PROJECT_VERSION}-windows-${SMFORMAT_WINDOWS_DOWNLOAD})
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
  set(CPACK_STRIP_FILES ON)
  include(CPack)
  return()
endif()

install(TARGETS smformat smcard RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

set(_smformat_man_pages smformat.1 smcard.1)
set(_smformat_man_outputs)
foreach(page ${_smformat_man_pages})
  # The pages name the project's version (project() in CMakeLists.txt).
  set(source ${PROJECT_BINARY_DIR}/man/${page})
  configure_file(${PROJECT_SOURCE_DIR}/man/${page} ${source} @ONLY)
  set(output ${PROJECT_BINARY_DIR}/man/${page}.gz)
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
    COMMAND gzip -9 -n -c ${source} > ${output}
    DEPENDS ${source}
    COMMENT "Compressing the manual page ${page}"
    VERBATIM)
  list(APPEND _smformat_man_outputs ${output})
endforeach()
add_custom_target(smformat_man_pages ALL DEPENDS ${_smformat_man_outputs})
install(FILES ${_smformat_man_outputs} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# The user's guide (the README; the developers' guide stays in the
# sources), the copyright file in Debian's machine-readable form, and the
# changelog Debian's policy asks of every package, compressed as it ships.
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/docs/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
string(TIMESTAMP _smformat_changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE ${PROJECT_BINARY_DIR}/package/changelog
     "smformat (${PROJECT_VERSION}) unstable; urgency=medium\n\n  * Release ${PROJECT_VERSION}.\n\n"
     " -- smformat maintainers <smformat@users.noreply.example>  ${_smformat_changelog_date}\n")
add_custom_command(
  OUTPUT ${PROJECT_BINARY_DIR}/package/changelog.gz
  COMMAND gzip -9 -n -c ${PROJECT_BINARY_DIR}/package/changelog > ${PROJECT_BINARY_DIR}/package/changelog.gz
  DEPENDS ${PROJECT_BINARY_DIR}/package/changelog
  VERBATIM)
add_custom_target(smformat_changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/package/changelog.gz)
install(FILES ${PROJECT_BINARY_DIR}/package/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME smformat)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "smformat maintainers <smformat@users.noreply.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "low-level format SmartMedia cards in USB card readers")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "smformat erases every good block of a SmartMedia card through the vendor\n\
commands of supported USB card readers, writes the card information\n\
structure, and lays the SmartMedia FAT file system on it, so that cameras,\n\
synthesizers and embroidery machines accept the card again. It also writes\n\
the SmartMedia file system alone on a card in any reader or on an image\n\
file. smcard makes and inspects simulated cards.")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
include(CPack)
