# Target helpers. The layer rules are kept here so that a wrong link or include fails the
# configure step: the seven system folders never link sim/, unit/ links nothing at all, and what
# system code may include is the rule of cmake/QxLayers.cmake, checked over every include by
# qx_check_system_layers and enforced by each system target's include path.

include(${CMAKE_CURRENT_LIST_DIR}/QxLayers.cmake)

# qx_stand_in_headers(MODE kernel|user DIR <dir>): a stand-in's public headers, under the names
# Windows code includes them by, for the system targets of that mode. Call it before the system
# folders are added.
function(qx_stand_in_headers)
  cmake_parse_arguments(ARG "" "MODE;DIR" "" ${ARGN})
  if(NOT ARG_MODE MATCHES "^(kernel|user)$" OR NOT IS_DIRECTORY "${ARG_DIR}")
    message(FATAL_ERROR "qx_stand_in_headers: MODE kernel or user and an existing DIR")
  endif()
  set_property(GLOBAL APPEND PROPERTY QX_STAND_IN_HEADERS_${ARG_MODE} ${ARG_DIR})
endfunction()

# qx_library(name folder SOURCES ... LINK ...): a static library of one folder; a system folder's
# library gets the include path of qx_layer_includes.
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
  if(folder IN_LIST QX_SYSTEM_FOLDERS)
    qx_layer_includes(${name} ${folder})
  endif()
endfunction()

# qx_layer_includes(target folder): the include path of a target built from system folder
# `folder`. It does not see the project root: it sees a view of its own in the build tree (links
# to its folder and to the folders and headers of the folder's edges) and the include folders of
# its mode's stand-ins, so an include outside the folder's rule does not compile. Users of the
# target get the stand-in include folders, as its headers include them.
function(qx_layer_includes target folder)
  set(view ${CMAKE_BINARY_DIR}/layers/${target})
  file(REMOVE_RECURSE ${view})
  foreach(entry IN ITEMS ${folder} ${QX_LAYER_EDGES_${folder}})
    if(EXISTS ${PROJECT_SOURCE_DIR}/${entry})
      get_filename_component(parent ${view}/${entry} DIRECTORY)
      file(MAKE_DIRECTORY ${parent})
      file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${entry} ${view}/${entry} SYMBOLIC)
    endif()
  endforeach()
  set(standIns)
  if(NOT QX_LAYER_MODE_${folder} STREQUAL "none")
    get_property(standIns GLOBAL PROPERTY QX_STAND_IN_HEADERS_${QX_LAYER_MODE_${folder}})
  endif()
  set_property(TARGET ${target} PROPERTY INCLUDE_DIRECTORIES ${view} ${standIns})
  set_property(TARGET ${target} PROPERTY INTERFACE_INCLUDE_DIRECTORIES ${standIns})
endfunction()

# qx_check_system_layers([FOLDERS <folder>...]): the layer rule over the given system folders (an
# image's), by default over every system folder there is, with the stand-ins' include folders.
# The configure step runs again when a file of those folders or a stand-in header name changes,
# so a violation fails the next build too. Call it once every folder has been added.
function(qx_check_system_layers)
  cmake_parse_arguments(ARG "" "" "FOLDERS" ${ARGN})
  if(NOT ARG_FOLDERS)
    set(ARG_FOLDERS ${QX_SYSTEM_FOLDERS})
  endif()
  set(folders)
  set(watched)
  foreach(folder IN LISTS ARG_FOLDERS)
    if(IS_DIRECTORY ${PROJECT_SOURCE_DIR}/${folder})
      list(APPEND folders ${folder})
      file(GLOB_RECURSE files CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${folder}/*)
      list(APPEND watched ${files})
    endif()
  endforeach()
  set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${watched})
  get_property(kernel GLOBAL PROPERTY QX_STAND_IN_HEADERS_kernel)
  get_property(user GLOBAL PROPERTY QX_STAND_IN_HEADERS_user)
  foreach(dir IN LISTS kernel user)
    file(GLOB names CONFIGURE_DEPENDS ${dir}/*)  # only watched: a new name reconfigures
  endforeach()
  qx_check_layers(ROOT ${PROJECT_SOURCE_DIR} FOLDERS ${folders} KERNEL_STAND_INS ${kernel} USER_STAND_INS ${user})
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
