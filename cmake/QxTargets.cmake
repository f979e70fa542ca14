# Target helpers. The layer rules are checked here so that a wrong link fails the configure step:
# the seven system folders never link sim/, and unit/ links nothing at all.

set(QX_SYSTEM_FOLDERS unit kframework driver wdm client asio panel)

function(qx_library name folder)
  cmake_parse_arguments(ARG "" "" "SOURCES;LINK" ${ARGN})
  if(folder IN_LIST QX_SYSTEM_FOLDERS)
    foreach(dep IN LISTS ARG_LINK)
      if(dep MATCHES "^qx_sim")
        message(FATAL_ERROR "${name}: system folder ${folder} may not link ${dep}")
      endif()
    endforeach()
    if(folder STREQUAL "unit" AND ARG_LINK)
      message(FATAL_ERROR "${name}: unit/ depends on the standard library only")
    endif()
  endif()
  add_library(${name} STATIC ${ARG_SOURCES})
  target_link_libraries(${name} PUBLIC ${ARG_LINK})
endfunction()

# qx_test(name SOURCES ... LINK ...): one GoogleTest binary, its cases discovered at test time.
function(qx_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LINK" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LINK} qx_test_support GTest::gtest GTest::gmock)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                       PROPERTIES TIMEOUT 300)
endfunction()

# qx_fuzz(name SOURCE file LINK ... CORPUS dir): a libFuzzer target under clang with QX_FUZZ,
# otherwise a replayer that runs every file of the corpus through the same entry point.
function(qx_fuzz name)
  cmake_parse_arguments(ARG "" "SOURCE;CORPUS" "LINK" ${ARGN})
  add_executable(${name} ${ARG_SOURCE})
  target_link_libraries(${name} PRIVATE ${ARG_LINK})
  if(QX_FUZZ)
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  else()
    target_link_libraries(${name} PRIVATE qx_fuzz_replayer)
    if(QX_TESTS)
      add_test(NAME ${name}.corpus COMMAND ${name} ${ARG_CORPUS})
    endif()
  endif()
endfunction()
