# What goes into the release packages (./dev package, built by CPack):
# on Linux a Debian package and a tarball of the whole install, on Windows a
# zip to unpack into a host's folder (a host built with MinGW-w64 as well,
# INSTALL.txt) and one with the debug information.

# A man page, compressed as Debian wants it.
function(tarnwick_install_manual page)
  get_filename_component(name ${page} NAME)
  set(compressed ${CMAKE_CURRENT_BINARY_DIR}/${name}.gz)
  add_custom_command(OUTPUT ${compressed}
    COMMAND sh -c "gzip -9n -c \"$0\" > \"$1\"" ${CMAKE_CURRENT_SOURCE_DIR}/${page} ${compressed}
    DEPENDS ${page} VERBATIM)
  add_custom_target(manual_${name} ALL DEPENDS ${compressed})
  get_filename_component(section ${page} LAST_EXT)
  string(SUBSTRING ${section} 1 -1 section)
  install(FILES ${compressed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT programs)
endfunction()

function(tarnwick_configure_packages)
  set(CPACK_PACKAGE_NAME Tarnwick)
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_PACKAGE_VENDOR "The Tarnwick developers")
  set(CPACK_PACKAGE_CONTACT "The Tarnwick developers <tarnwick@users.noreply.github.com>")
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "plays custom maps in a game's mod host, reloading them on save")
  set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
  set(CPACK_STRIP_FILES ON)
  set(CPACK_VERBATIM_VARIABLES ON)

  if(WIN32)
    # plugins/Tarnwick.dll as the host expects it, beside the install text.
    set(CPACK_GENERATOR ZIP)
    set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
    set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
    set(CPACK_COMPONENTS_ALL plugin debug)
    set(CPACK_ARCHIVE_PLUGIN_FILE_NAME Tarnwick-${PROJECT_VERSION}-win64)
    set(CPACK_ARCHIVE_DEBUG_FILE_NAME Tarnwick-${PROJECT_VERSION}-win64-debug)
    configure_file(packaging/INSTALL.txt.in packaging/INSTALL.txt @ONLY NEWLINE_STYLE CRLF)
    install(FILES ${PROJECT_SOURCE_DIR}/LICENSE ${CMAKE_BINARY_DIR}/packaging/INSTALL.txt
      DESTINATION . COMPONENT plugin)
  else()
    set(CPACK_GENERATOR DEB TGZ)
    set(CPACK_PACKAGE_FILE_NAME tarnwick-${PROJECT_VERSION}-linux-x86_64)
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_NAME tarnwick)
    set(CPACK_DEBIAN_PACKAGE_SECTION utils)
    set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    # libpluginsdk.so is ours, in the package's private folder.
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/bin)
    set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "Tarnwick scans a maps folder, loads the chosen map and reloads it each\n"
      "time it is saved. This package holds the stand-in host tarnwick-host\n"
      "with the plugin, the directory watcher tool tarnwick-watch, and the\n"
      "filewatch library (headers, CMake package and pkg-config file) for\n"
      "programs of your own.")
    string(JOIN "" CPACK_DEBIAN_PACKAGE_DESCRIPTION ${CPACK_DEBIAN_PACKAGE_DESCRIPTION})
    # The copyright file and a changelog where Debian looks for them.
    set(doc_dir ${CMAKE_INSTALL_DATAROOTDIR}/doc/tarnwick)
    configure_file(packaging/copyright.in packaging/copyright @ONLY)
    string(TIMESTAMP changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
    configure_file(packaging/changelog.in packaging/changelog @ONLY)
    execute_process(COMMAND sh -c "gzip -9n -c \"$0\" > \"$1\""
      ${CMAKE_BINARY_DIR}/packaging/changelog ${CMAKE_BINARY_DIR}/packaging/changelog.gz
      COMMAND_ERROR_IS_FATAL ANY)
    install(FILES ${CMAKE_BINARY_DIR}/packaging/copyright ${CMAKE_BINARY_DIR}/packaging/changelog.gz
      DESTINATION ${doc_dir} COMPONENT programs)
  endif()
  include(CPack)
endfunction()
