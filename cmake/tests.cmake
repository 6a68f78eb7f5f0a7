# The test binary: every *_test.cpp beside the code it tests, in one executable.
enable_testing()
include(GoogleTest)

if(CMAKE_CROSSCOMPILING)
  # No GoogleTest package for the target system: build it from Debian's sources.
  set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  set(TALVEN_GTEST gtest gtest_main)
else()
  find_package(GTest REQUIRED)
  set(TALVEN_GTEST GTest::gtest GTest::gtest_main)
endif()

file(GLOB TALVEN_TEST_SOURCES CONFIGURE_DEPENDS
  ${CMAKE_CURRENT_SOURCE_DIR}/run/*_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/base/*_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/scan/*_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/collect/*_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/reconcile/*_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/copy/*_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/platform/*_test.cpp)
if(WIN32)
  # The tests' own file helpers take UTF-8 names too, as the program does.
  set(TALVEN_TEST_SUPPORT platform/test_support-win32.cpp platform/test_process-win32.cpp
                          ${TALVEN_MANIFEST})
else()
  set(TALVEN_TEST_SUPPORT platform/test_support-posix.cpp platform/crash_support-posix.cpp
                          platform/mount_support-posix.cpp platform/test_permissions-posix.cpp
                          platform/test_metadata-posix.cpp)
endif()

add_executable(talven_tests ${TALVEN_TEST_SOURCES} ${TALVEN_TEST_SUPPORT})
target_link_libraries(talven_tests PRIVATE talven_core ${TALVEN_GTEST})
target_compile_definitions(talven_tests PRIVATE TALVEN_PROGRAM="$<TARGET_FILE:talven>")
add_dependencies(talven_tests talven)

# One CTest test per case, also under Wine (the emulator lists and runs the cases).
gtest_discover_tests(talven_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60)

# The manual page and the README against the program's usage line, help and command
# line, the README's and doc/'s links against what they name, and a check that the
# comparison finds what a page or the README lacks (native only: the page is the
# same for both builds).
if(NOT CMAKE_CROSSCOMPILING)
  find_program(TALVEN_BASH bash REQUIRED)
  add_test(NAME ManPage.MatchesUsageReadmeAndCommandLine
           COMMAND ${TALVEN_BASH} ${CMAKE_CURRENT_SOURCE_DIR}/scripts/check-man-page-test.sh
                   $<TARGET_FILE:talven> ${TALVEN_MAN_PAGE} ${CMAKE_CURRENT_BINARY_DIR}/man-page-check)
  # The bash completion, tried in a real interactive bash with Tab: the options the
  # program names, and folders for the first two words.
  add_test(NAME Completion.OffersTheOptionsAndFolders
           COMMAND ${TALVEN_BASH} ${CMAKE_CURRENT_SOURCE_DIR}/scripts/completion-test.sh
                   ${TALVEN_COMPLETION} $<TARGET_FILE:talven> ${CMAKE_CURRENT_BINARY_DIR}/completion-test)
  set_tests_properties(Completion.OffersTheOptionsAndFolders PROPERTIES SKIP_RETURN_CODE 77)
endif()
# scripts/try.sh, the README's first command, on a fresh clone of the last commit: it
# builds talven (through the same compiler launcher) and mirrors /usr/share/doc into a
# scratch folder that the test hands it. It builds its own Release program, so it runs
# in one native tree, not again under ThreadSanitizer.
if(NOT CMAKE_CROSSCOMPILING AND NOT TALVEN_TSAN)
  add_test(NAME Try.BuildsAndMirrorsFromAFreshClone
           COMMAND ${TALVEN_BASH} ${CMAKE_CURRENT_SOURCE_DIR}/scripts/try-test.sh
                   ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_CURRENT_BINARY_DIR}/try-test)
  set_tests_properties(Try.BuildsAndMirrorsFromAFreshClone PROPERTIES
                       SKIP_RETURN_CODE 77 TIMEOUT 1200 PROCESSORS 2)
  if(CMAKE_CXX_COMPILER_LAUNCHER)
    set_property(TEST Try.BuildsAndMirrorsFromAFreshClone PROPERTY ENVIRONMENT
                 "CMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER}")
  endif()
endif()
# talven --exact against rsync -aHAX --numeric-ids --delete on random trees with their
# metadata, 100 as root and 100 as a normal user (as root, a child of another uid),
# each mirrored, changed and mirrored again from the same starting destinations
# (scripts/exact-vs-rsync.py; skipped where rsync is missing or the build tree keeps no
# attributes or ACLs). Natively, and not again under ThreadSanitizer: the program is
# run whole, and one native tree judges it.
if(NOT CMAKE_CROSSCOMPILING AND NOT TALVEN_TSAN)
  find_program(TALVEN_PYTHON3 python3)
  if(TALVEN_PYTHON3)
    add_test(NAME ExactMirror.MatchesRsyncOnRandomTrees
             COMMAND ${TALVEN_PYTHON3} ${CMAKE_CURRENT_SOURCE_DIR}/scripts/exact-vs-rsync.py
                     $<TARGET_FILE:talven> ${CMAKE_CURRENT_BINARY_DIR}/exact-vs-rsync)
  else()
    add_test(NAME ExactMirror.MatchesRsyncOnRandomTrees
             COMMAND ${TALVEN_BASH} -c "echo 'skipped: python3 is missing'; exit 77")
  endif()
  # Four runs of talven a tree: about 1.2 s a tree natively, 5.6 s under ASan on a
  # loaded machine (ASan's start-up); the default 100 + 100 trees fit in the timeout.
  set_tests_properties(ExactMirror.MatchesRsyncOnRandomTrees PROPERTIES
                       SKIP_RETURN_CODE 77 TIMEOUT 2400)
endif()
# The Windows build under Wine: talven.exe --exact on a tree made on the host (names
# of one file, empty folders, folder times, then an older version, a renamed folder
# and names parted), each mirror checked against the source and run again with
# nothing to do (scripts/wine-exact.sh; skipped where no Wine configuration is named).
if(CMAKE_CROSSCOMPILING AND TALVEN_WINE)
  find_program(TALVEN_HOST_BASH bash REQUIRED)
  add_test(NAME WineExact.NamesOfOneFileFoldersAndTheirTimes
           COMMAND ${TALVEN_HOST_BASH} ${CMAKE_CURRENT_SOURCE_DIR}/scripts/wine-exact.sh
                   $<TARGET_FILE:talven>)
  set_tests_properties(WineExact.NamesOfOneFileFoldersAndTheirTimes PROPERTIES
                       SKIP_RETURN_CODE 77 TIMEOUT 300)
  # Attributes kept on a first exact mirror and changed with the time kept, files
  # marked read-only updated and deleted (scripts/wine-exact-metadata.sh).
  add_test(NAME WineExact.AttributesAndReadOnlyFiles
           COMMAND ${TALVEN_HOST_BASH} ${CMAKE_CURRENT_SOURCE_DIR}/scripts/wine-exact-metadata.sh
                   $<TARGET_FILE:talven>)
  set_tests_properties(WineExact.AttributesAndReadOnlyFiles PROPERTIES
                       SKIP_RETURN_CODE 77 TIMEOUT 600)
endif()
