# What `cmake --install` puts where.
#   Linux:   bin/Trelmark64, <plugin dir>/check_trelmark, share/trelmark/ (the
#            engine definitions), share/man/man1/, share/doc/trelmark/.
#   Windows: one folder with the two programs, the NSClient++ snippet, the
#            README and the licence, as an administrator unpacks it.
include(GNUInstallDirs)

set(TRELMARK_SHIPPED_PROGRAMS Trelmark64 check_trelmark)
# Everything the install rules need, without the tests (scripts/release).
add_custom_target(shipped)
add_dependencies(shipped ${TRELMARK_SHIPPED_PROGRAMS})

if(WIN32)
  install(TARGETS ${TRELMARK_SHIPPED_PROGRAMS} RUNTIME DESTINATION .)
  # Only the Windows agent's definitions; the others are for Linux engines.
  file(GLOB TRELMARK_NSCLIENT_FILES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/contrib/nsclient*/*)
  install(FILES ${TRELMARK_NSCLIENT_FILES} DESTINATION .)
  install(FILES README.md DESTINATION .)
  # Windows opens a file by its extension.
  install(FILES LICENSE DESTINATION . RENAME LICENSE.txt)
  return()
endif()

# Relative to the prefix unless absolute; Nagios, Icinga 2 and NRPE look in
# /usr/lib/nagios/plugins (their $USER1$ and PluginDir).
set(TRELMARK_PLUGIN_DIR "lib/nagios/plugins" CACHE STRING "Where check_trelmark is installed")
set(TRELMARK_DATA_DIR "${CMAKE_INSTALL_DATADIR}/trelmark")
set(TRELMARK_DOC_DIR "${CMAKE_INSTALL_DATADIR}/doc/trelmark")

install(TARGETS Trelmark64 RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS check_trelmark RUNTIME DESTINATION ${TRELMARK_PLUGIN_DIR})
install(DIRECTORY contrib/ DESTINATION ${TRELMARK_DATA_DIR})
install(FILES README.md LICENSE DESTINATION ${TRELMARK_DOC_DIR})

# Man pages from their scdoc sources, dated like the usage screen
# (SOURCE_DATE_EPOCH when set) and carrying the version.
find_program(TRELMARK_SCDOC scdoc)
set(TRELMARK_MAN_PAGES Trelmark64.1 check_trelmark.1)
if(NOT TRELMARK_SCDOC)
  message(WARNING "scdoc not found: the man pages are neither built nor installed (apt-get install scdoc)")
  return()
endif()
set(TRELMARK_MAN_OUTPUTS)
foreach(page ${TRELMARK_MAN_PAGES})
  configure_file(man/${page}.scd ${CMAKE_BINARY_DIR}/man/${page}.scd @ONLY)
  add_custom_command(
    OUTPUT ${CMAKE_BINARY_DIR}/man/${page}
    COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${TRELMARK_BUILD_EPOCH}
            sh -c "\"$0\" <\"$1\" >\"$2.tmp\" && mv \"$2.tmp\" \"$2\"" ${TRELMARK_SCDOC}
            ${CMAKE_BINARY_DIR}/man/${page}.scd ${CMAKE_BINARY_DIR}/man/${page}
    DEPENDS ${CMAKE_BINARY_DIR}/man/${page}.scd
    COMMENT "Generating man page ${page}"
    VERBATIM)
  list(APPEND TRELMARK_MAN_OUTPUTS ${CMAKE_BINARY_DIR}/man/${page})
endforeach()
add_custom_target(man_pages ALL DEPENDS ${TRELMARK_MAN_OUTPUTS})
add_dependencies(shipped man_pages)
install(FILES ${TRELMARK_MAN_OUTPUTS} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
