# Target helpers. The layer rules are kept here so that a wrong link or include fails the
# configure step: the seven system folders never link sim/, unit/ links nothing at all, and what
# system code may include is the rule of cmake/QxLayers.cmake, checked over every include by
# qx_check_system_layers and enforced by each system target's include path.

include(${CMAKE_CURRENT_LIST_DIR}/QxLayers.cmake)
set(QX_CMAKE_DIR ${CMAKE_CURRENT_LIST_DIR})

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

# qx_platform_sources(SOURCES ... [LINK ...]): a stand-in's sources join the platform, the one
# shared library (libqx_platform.so) that every image, test and tool of a machine links, so the
# machine has one kernel. Each stand-in folder's CMakeLists.txt calls it once.
function(qx_platform_sources)
  cmake_parse_arguments(ARG "" "" "SOURCES;LINK" ${ARGN})
  target_sources(qx_platform PRIVATE ${ARG_SOURCES})
  if(ARG_LINK)
    target_link_libraries(qx_platform PUBLIC ${ARG_LINK})
  endif()
endfunction()

# qx_library(name folder [OBJECT] SOURCES ... LINK ...): a static library of one folder, or with
# OBJECT the object library of an image (see qx_kernel_image) that white-box tests link too. A
# system folder's library gets the include path of qx_layer_includes, and is built to go into an
# image: position-independent, with hidden symbols, so each image keeps its own copy of its state.
function(qx_library name folder)
  cmake_parse_arguments(ARG "OBJECT" "" "SOURCES;LINK" ${ARGN})
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
  if(ARG_OBJECT)
    add_library(${name} OBJECT ${ARG_SOURCES})
  else()
    add_library(${name} STATIC ${ARG_SOURCES})
  endif()
  target_link_libraries(${name} PUBLIC ${ARG_LINK})
  set_property(TARGET ${name} PROPERTY QX_FOLDER ${folder})
  if(folder IN_LIST QX_SYSTEM_FOLDERS OR ARG_OBJECT)
    set_target_properties(${name} PROPERTIES POSITION_INDEPENDENT_CODE ON CXX_VISIBILITY_PRESET hidden
                                             VISIBILITY_INLINES_HIDDEN ON)
  endif()
  if(folder IN_LIST QX_SYSTEM_FOLDERS)
    qx_layer_includes(${name} ${folder})
  endif()
  if(folder IN_LIST QX_SYSTEM_FOLDERS AND QX_LAYER_MODE_${folder} MATCHES "^(none|kernel)$")
    qx_kernel_code_options(${name})
  endif()
endfunction()

# qx_kernel_code_options(target): code that goes into a kernel image (the kernel-mode folders and
# unit/, which the unit driver carries) is built as a driver is: without RTTI or exceptions, which
# a kernel image has no runtime for, so a new dynamic_cast, typeid or throw fails at once. Code that
# uses such a target (tests, tools) is built without RTTI too, since its classes derive from ones
# that have no type information.
function(qx_kernel_code_options target)
  target_compile_options(${target} PRIVATE -fno-rtti -fno-exceptions INTERFACE -fno-rtti)
endfunction()

# qx_layer_includes(target folder): the include path of a target built from system folder
# `folder`. It does not see the project root: it sees a view of its own in the build tree (links
# to its folder and to the folders and headers of the folder's edges) and the include folders of
# its mode's stand-ins, so an include outside the folder's rule does not compile. Users of the
# target get the stand-in include folders, as its headers include them.
function(qx_layer_includes target folder)
  set(view ${CMAKE_BINARY_DIR}/layers/${target})
  file(REMOVE_RECURSE ${view})
  # The headers of an edge folder include what its own edges allow, so the view holds those too;
  # the layer check still allows the folder its direct edges alone.
  set(entries ${folder})
  set(pending ${QX_LAYER_EDGES_${folder}})
  while(pending)
    list(POP_FRONT pending entry)
    if(entry IN_LIST entries)
      continue()
    endif()
    list(APPEND entries ${entry})
    if(entry IN_LIST QX_SYSTEM_FOLDERS)
      list(APPEND pending ${QX_LAYER_EDGES_${entry}})
    endif()
  endwhile()
  foreach(entry IN LISTS entries)
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

# Images. Each kernel driver, DLL and program of the system is a shared object named by its
# Windows name (qx5310.sys, Qx5310A24x64.dll, QX5310Panel.exe) in the build's bin folder, beside
# the programs that load it, where the platform's loader finds it. Its code is object libraries
# (qx_library ... OBJECT) that white-box tests link too; it links the platform and exports its
# entries alone, every other symbol hidden, so two images, or two copies of one, never share
# state. The entries get default visibility from their declaration in the stand-in headers
# (DriverEntry in <wdm.h>; see platform/kernel/ImageExport.h). An image carries its machine in a
# ".qx_machine" section, as a Windows image does in its header: the loader refuses an image of
# the other bitness. The layer rule is checked over the system folders of each image, and an
# image holds system folders of its own mode only.
#
# qx_kernel_image(<target> NAME <file> OBJECTS <lib>... [LINK <lib>...])
#   A kernel driver: a 64-bit image that exports DriverEntry.
# qx_user_image(<target> NAME <file> OBJECTS <lib>... [EXPORTS <name>...] [BITS 32|64] [LINK <lib>...]
#               [RESOURCES <script> <art>...])
#   A DLL or a program, 64-bit unless BITS says 32. A DLL's load-time entry is its export DllMain,
#   when it has one. A program (NAME x.exe) has the C runtime's start routine linked in
#   (platform/crt) and exports it, WinMainCRTStartup, the entry its process starts it at; the
#   program's code defines WinMain. RESOURCES compiles the resource script (a C++ source written
#   with <winres.h>) into the image, which then exports its resource directory, ImageResources; each
#   art file (.bmp, .ico, .cur) after it reaches the script as "<file>.h", the file's bytes in the
#   array named by the file name with every other character than a letter or a digit made "_"
#   (logo.bmp: logo_bmp[]).
function(qx_kernel_image target)
  cmake_parse_arguments(ARG "" "NAME" "OBJECTS;LINK" ${ARGN})
  _qx_image(${target} kernel NAME ${ARG_NAME} BITS 64 EXPORTS DriverEntry OBJECTS ${ARG_OBJECTS} LINK ${ARG_LINK})
endfunction()

function(qx_user_image target)
  cmake_parse_arguments(ARG "" "NAME;BITS" "OBJECTS;EXPORTS;LINK;RESOURCES" ${ARGN})
  if(NOT ARG_BITS)
    set(ARG_BITS 64)
  endif()
  if(ARG_NAME MATCHES "\\.[eE][xX][eE]$")
    list(APPEND ARG_OBJECTS qx_platform_crt)
    list(APPEND ARG_EXPORTS WinMainCRTStartup)
  endif()
  if(ARG_RESOURCES)
    _qx_resources(${target} ${ARG_RESOURCES})
    list(APPEND ARG_OBJECTS ${target}_resources)
    list(APPEND ARG_EXPORTS ImageResources)
  endif()
  _qx_image(${target} user NAME ${ARG_NAME} BITS ${ARG_BITS} EXPORTS ${ARG_EXPORTS} OBJECTS ${ARG_OBJECTS}
            LINK ${ARG_LINK})
endfunction()

# The resources of an image: the script as an object library of its folder (a system folder's
# layer rule holds for it), and each art file as a header of its bytes, read at configure time and
# read again whenever the file changes.
function(_qx_resources target script)
  get_filename_component(script ${script} ABSOLUTE)
  file(RELATIVE_PATH relative ${PROJECT_SOURCE_DIR} ${script})
  string(REGEX MATCH "^[^/]+" top ${relative})
  get_filename_component(folder ${relative} DIRECTORY)
  if(top IN_LIST QX_SYSTEM_FOLDERS)
    set(folder ${top})
  endif()
  set(artDir ${CMAKE_CURRENT_BINARY_DIR}/${target}.image/art)
  foreach(art IN LISTS ARGN)
    get_filename_component(art ${art} ABSOLUTE)
    get_filename_component(file ${art} NAME)
    string(MAKE_C_IDENTIFIER ${file} symbol)
    file(READ ${art} hex HEX)
    string(REGEX REPLACE "(..)" "0x\\1," bytes "${hex}")
    file(CONFIGURE OUTPUT ${artDir}/${file}.h CONTENT
         "// ${file}, as the build read it.\n#pragma once\n\ninline constexpr unsigned char ${symbol}[] = {${bytes}};\n")
    set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${art})
  endforeach()
  qx_library(${target}_resources ${folder} OBJECT SOURCES ${script} LINK qx_platform_win32)
  target_include_directories(${target}_resources PRIVATE ${artDir})
endfunction()

function(_qx_image target mode)
  cmake_parse_arguments(ARG "" "NAME;BITS" "OBJECTS;EXPORTS;LINK" ${ARGN})
  if(NOT ARG_NAME OR NOT ARG_OBJECTS OR NOT ARG_EXPORTS OR NOT ARG_BITS MATCHES "^(32|64)$")
    message(FATAL_ERROR "${target}: an image needs a NAME, OBJECTS, EXPORTS and BITS 32 or 64")
  endif()
  # The system folders the image is built from, through every library it links.
  set(folders)
  set(seen)
  set(pending ${ARG_OBJECTS} ${ARG_LINK})
  while(pending)
    list(POP_FRONT pending lib)
    # One copy of the test framework, in the test program: an image that carried its own would
    # report to a framework nobody reads.
    if(lib MATCHES "^(GTest::|qx_test_support$)")
      message(FATAL_ERROR "${target}: the image ${ARG_NAME} may not link ${lib}")
    endif()
    if(NOT TARGET ${lib} OR lib IN_LIST seen)
      continue()
    endif()
    list(APPEND seen ${lib})
    get_target_property(folder ${lib} QX_FOLDER)
    if(folder IN_LIST QX_SYSTEM_FOLDERS)
      list(APPEND folders ${folder})
      if(NOT QX_LAYER_MODE_${folder} MATCHES "^(none|${mode})$")
        message(FATAL_ERROR "${target}: the ${mode}-mode image ${ARG_NAME} may not hold ${folder}/ (${lib})")
      endif()
    endif()
    get_target_property(deps ${lib} INTERFACE_LINK_LIBRARIES)
    if(deps)
      list(APPEND pending ${deps})
    endif()
  endwhile()
  if(folders)
    list(REMOVE_DUPLICATES folders)
    qx_check_system_layers(FOLDERS ${folders})
  endif()

  set(dir ${CMAKE_CURRENT_BINARY_DIR}/${target}.image)
  if(ARG_BITS EQUAL 32)
    set(machine 0x014C)
  else()
    set(machine 0x8664)
  endif()
  file(CONFIGURE OUTPUT ${dir}/Machine.cpp CONTENT
       "// The machine of ${ARG_NAME}, which the loader reads before it maps the image.\n__attribute__((section(\".qx_machine\"), used)) static const unsigned short kMachine = ${machine};\n")
  list(JOIN ARG_EXPORTS "; " globals)
  file(CONFIGURE OUTPUT ${dir}/exports.map CONTENT "{\n  global: ${globals};\n  local: *;\n};\n")

  add_library(${target} SHARED ${dir}/Machine.cpp)
  # The machine word alone in its section: AddressSanitizer would pad the global with red zones.
  set_source_files_properties(${dir}/Machine.cpp TARGET_DIRECTORY ${target} PROPERTIES COMPILE_OPTIONS -fno-sanitize=all)
  target_link_libraries(${target} PRIVATE ${ARG_OBJECTS} ${ARG_LINK} qx_platform)
  set_target_properties(${target} PROPERTIES OUTPUT_NAME ${ARG_NAME} PREFIX "" SUFFIX "" NO_SONAME ON
                                             CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON
                                             LINK_DEPENDS ${dir}/exports.map)
  target_link_options(${target} PRIVATE -Wl,--version-script=${dir}/exports.map)
  # Every import resolved at link time, against the platform and the runtime; clang's sanitizer
  # runtime lives in the program alone, so its images leave those symbols open.
  if(NOT (QX_SANITIZE AND CMAKE_CXX_COMPILER_ID STREQUAL "Clang"))
    target_link_options(${target} PRIVATE -Wl,-z,defs)
  endif()
  add_custom_command(TARGET ${target} POST_BUILD
                     COMMAND ${CMAKE_COMMAND} -DIMAGE=$<TARGET_FILE:${target}> -DNM=${CMAKE_NM}
                             "-DEXPORTS=${ARG_EXPORTS}" -P ${QX_CMAKE_DIR}/QxCheckExports.cmake
                     VERBATIM)
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
