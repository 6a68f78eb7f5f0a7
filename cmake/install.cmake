# What `cmake --install` puts where. POSIX: the usual GNUInstallDirs layout
# (bin/talven, share/man/man1/talven.1, share/doc/talven/,
# share/bash-completion/completions/talven). Windows: one flat folder, the layout of
# the zip: talven.exe, README.md, LICENSE and the manual page
# as HTML. The tests are never installed.
include(GNUInstallDirs)

# The manual page carries the version from the one definition.
set(TALVEN_MAN_PAGE ${CMAKE_CURRENT_BINARY_DIR}/talven.1)
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/doc/talven.1.in ${TALVEN_MAN_PAGE} @ONLY)

option(TALVEN_DEBIAN_PACKAGE "Install as the Debian package lays files out (gzipped manual page, Debian copyright and changelog)" OFF)

if(WIN32)
  install(TARGETS talven RUNTIME DESTINATION .)
  install(FILES README.md LICENSE DESTINATION .)
  # Windows has no man: the page goes along as HTML, rendered on the build machine.
  find_program(TALVEN_MANDOC mandoc)
  find_program(TALVEN_GROFF groff)
  set(TALVEN_MAN_HTML ${CMAKE_CURRENT_BINARY_DIR}/talven.1.html)
  if(TALVEN_MANDOC)
    set(TALVEN_RENDER_HTML ${TALVEN_MANDOC} -T html -O style=none ${TALVEN_MAN_PAGE})
  elseif(TALVEN_GROFF)
    set(TALVEN_RENDER_HTML ${TALVEN_GROFF} -man -T html ${TALVEN_MAN_PAGE})
  endif()
  if(TALVEN_RENDER_HTML)
    add_custom_command(OUTPUT ${TALVEN_MAN_HTML} COMMAND ${TALVEN_RENDER_HTML} > ${TALVEN_MAN_HTML}
                       DEPENDS ${TALVEN_MAN_PAGE} VERBATIM)
    add_custom_target(talven_man_html ALL DEPENDS ${TALVEN_MAN_HTML})
    install(FILES ${TALVEN_MAN_HTML} DESTINATION .)
  else()
    message(WARNING "neither mandoc nor groff found: the manual page is not installed as HTML")
  endif()
  return()
endif()

install(TARGETS talven RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The bash completion, with the long options of the program's own table: a small
# program linked with it prints them, so a new option reaches the completion as it
# reaches the command line.
add_executable(talven_long_options packaging/bash-completion/long_options.cpp)
target_link_libraries(talven_long_options PRIVATE talven_core)
set(TALVEN_COMPLETION ${CMAKE_CURRENT_BINARY_DIR}/bash-completion/talven)
set(TALVEN_COMPLETION_TEMPLATE ${CMAKE_CURRENT_SOURCE_DIR}/packaging/bash-completion/talven.in)
add_custom_command(OUTPUT ${TALVEN_COMPLETION}
                   COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:talven_long_options>
                           -DTEMPLATE=${TALVEN_COMPLETION_TEMPLATE} -DOUTPUT=${TALVEN_COMPLETION}
                           -P ${CMAKE_CURRENT_SOURCE_DIR}/cmake/bash_completion.cmake
                   DEPENDS talven_long_options ${TALVEN_COMPLETION_TEMPLATE}
                           ${CMAKE_CURRENT_SOURCE_DIR}/cmake/bash_completion.cmake
                   VERBATIM)
add_custom_target(talven_completion ALL DEPENDS ${TALVEN_COMPLETION})
install(FILES ${TALVEN_COMPLETION} DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)

if(NOT TALVEN_DEBIAN_PACKAGE)
  install(FILES ${TALVEN_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES README.md LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})
  return()
endif()

# Debian's policy: manual pages and changelogs gzipped with -9n (no name, no time,
# so that the same sources give the same package), and the license in copyright.
find_program(TALVEN_GZIP gzip REQUIRED)
set(TALVEN_DEBIAN_DIR ${CMAKE_CURRENT_BINARY_DIR}/debian)
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/packaging/debian/changelog.in
               ${TALVEN_DEBIAN_DIR}/changelog.Debian @ONLY)
file(READ ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE TALVEN_LICENSE_TEXT)
# The license text as a copyright file's License field: every line indented, empty
# lines as " .".
string(REGEX REPLACE "^MIT License\n\nCopyright[^\n]*\n\n" "" TALVEN_LICENSE_TEXT "${TALVEN_LICENSE_TEXT}")
string(REGEX REPLACE "\n$" "" TALVEN_LICENSE_TEXT "${TALVEN_LICENSE_TEXT}")
string(REPLACE "\n\n" "\n.\n" TALVEN_LICENSE_TEXT "${TALVEN_LICENSE_TEXT}")
string(REPLACE "\n" "\n " TALVEN_LICENSE_TEXT " ${TALVEN_LICENSE_TEXT}")
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/packaging/debian/copyright.in
               ${TALVEN_DEBIAN_DIR}/copyright @ONLY)
foreach(name talven.1 debian/changelog.Debian)
  set(input ${CMAKE_CURRENT_BINARY_DIR}/${name})
  add_custom_command(OUTPUT ${input}.gz COMMAND ${TALVEN_GZIP} -9nc ${input} > ${input}.gz
                     DEPENDS ${input} VERBATIM)
  list(APPEND TALVEN_GZIPPED ${input}.gz)
endforeach()
add_custom_target(talven_debian_files ALL DEPENDS ${TALVEN_GZIPPED})
install(FILES ${TALVEN_MAN_PAGE}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES README.md ${TALVEN_DEBIAN_DIR}/copyright ${TALVEN_DEBIAN_DIR}/changelog.Debian.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES packaging/debian/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
        RENAME talven)

# Stripped as Debian strips a program (dh_strip): besides the symbols, the compiler's
# .comment and the .note section, which nothing reads at run time. The build-id notes
# stay.
install(CODE "
  set(program \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/talven\")
  execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment --remove-section=.note
                          \"\${program}\" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR \"stripping \${program} failed: \${status}\")
  endif()
")
