# The packages, made with CPack from the install rules (scripts/package.sh makes
# both from a clean tree): talven_<version>-1_amd64.deb from a native build
# configured with TALVEN_DEBIAN_PACKAGE, talven-<version>-windows-x64.zip from the
# mingw-w64 build. With SOURCE_DATE_EPOCH set (scripts/package.sh sets it to the
# last commit's time), CPack gives every member that time, so that the same sources
# give the same packages.
set(CPACK_PACKAGE_NAME talven)
set(CPACK_PACKAGE_VENDOR "The Talven developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${TALVEN_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "mirror one folder tree into another, durably")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
    GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME talven-${PROJECT_VERSION}-windows-x64)
  # The files in a folder of the zip's own name, so that unpacking it never strews
  # them among what the folder it is unpacked in holds.
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "")
  # What apt show prints under the synopsis (CPack puts the summary first): what
  # a user needs to decide by.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "talven makes a destination folder a mirror of a source folder: it lists both
trees at the same time on two threads, copies every source file that is newer
than its destination twin or missing there (with its last-write time), and
deletes the destination files that the source no longer has. Folders are
created when needed and never deleted.
.
Only last-write times decide what is out of date. Every copy is written under a
partial name and renamed into place only once its data is on disk, so a power
cut or a crash never leaves a file that looks current without its data. It
refuses nested or equal folders, never follows a link out of the destination,
and stops listing when ESC is pressed. With -l it appends a record of every
action to a log; with -p it only reports what it would do.")
endif()

include(CPack)
