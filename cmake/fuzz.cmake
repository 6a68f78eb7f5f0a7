# Fuzz targets: every *_fuzz.cpp beside the piece it checks becomes one libFuzzer
# executable. The whole build carries the fuzzer's coverage instrumentation and the
# address and undefined-behaviour sanitizers (set in CMakeLists.txt).
if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  message(FATAL_ERROR "TALVEN_FUZZ needs clang: configure with -DCMAKE_CXX_COMPILER=clang++")
endif()

file(GLOB TALVEN_FUZZ_SOURCES CONFIGURE_DEPENDS
  ${CMAKE_CURRENT_SOURCE_DIR}/run/*_fuzz.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/scan/*_fuzz.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/collect/*_fuzz.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/reconcile/*_fuzz.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/platform/*_fuzz.cpp)

# Builds every fuzz target and nothing else: `cmake --build <dir> --target fuzz_targets`.
add_custom_target(fuzz_targets)
foreach(source ${TALVEN_FUZZ_SOURCES})
  get_filename_component(target ${source} NAME_WE)
  add_executable(${target} ${source})
  target_link_libraries(${target} PRIVATE talven_core)
  target_link_options(${target} PRIVATE -fsanitize=fuzzer)
  add_dependencies(fuzz_targets ${target})
endforeach()
