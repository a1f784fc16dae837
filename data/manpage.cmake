# A manual page gzipped at build time (gzip -n: no name or time stamp, so the
# packages come out the same from the same sources), installed in man1.
# Included by each file that installs a page: GNUInstallDirs' variables are
# those of the including directory.
include(GNUInstallDirs)
find_program(WIRELANE_GZIP gzip REQUIRED)

function(wirelane_manpage page component)
  set(src ${PROJECT_SOURCE_DIR}/docs/${page})
  set(copy ${CMAKE_BINARY_DIR}/man/${page})
  add_custom_command(OUTPUT ${copy}.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${src} ${copy}
    COMMAND ${WIRELANE_GZIP} -9nf ${copy}
    DEPENDS ${src}
    COMMENT "Compressing the manual page ${page}"
    VERBATIM)
  string(REPLACE "." "_" target ${page})
  add_custom_target(manpage_${target} ALL DEPENDS ${copy}.gz)
  install(FILES ${copy}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${component})
endfunction()
