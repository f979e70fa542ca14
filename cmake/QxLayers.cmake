# The layer rule of the seven system folders, and its check over every include they make.
#
# A system folder may include:
#   - its own headers, and those of the system folders (or the named headers) of its edges below;
#   - the headers of its own mode's stand-ins, by their Windows names: kernel-mode folders those of
#     the kernel, 1394 and port class stand-ins, user-mode folders those of Win32, COM, ASIO and
#     MFC; unit/ none;
#   - the C++ standard library and the compiler's intrinsic and CPU-feature headers.
# It never names a platform/ or sim/ path, a path through "..", or the stand-ins' namespace plat.
#
# This file is used by the configure step and in script mode (the check's own test), so it only
# sets variables and defines functions.

set(QX_SYSTEM_FOLDERS unit kframework driver wdm client asio panel)

set(QX_LAYER_MODE_unit none)
set(QX_LAYER_MODE_kframework kernel)
set(QX_LAYER_MODE_driver kernel)
set(QX_LAYER_MODE_wdm kernel)
set(QX_LAYER_MODE_client user)
set(QX_LAYER_MODE_asio user)
set(QX_LAYER_MODE_panel user)

# Edges between system folders: a folder name allows the whole folder, "folder/Header.h" that
# header alone. wdm/ gets only what driver/ publishes for it; client/ only unit/'s records that
# cross the device-control boundary.
set(QX_LAYER_EDGES_driver unit kframework)
set(QX_LAYER_EDGES_wdm kframework driver/PdoDirectInterface.h driver/MidiParser.h)
set(QX_LAYER_EDGES_client
    unit/ControlRequests.h unit/LcdTextBlock.h unit/MIDIEventPacket.h unit/PreferencesBlock.h
    unit/SharedStateBlock.h unit/UnitNameRecord.h)
set(QX_LAYER_EDGES_asio client)
set(QX_LAYER_EDGES_panel client)

# Windows header names of each mode, known before their stand-ins exist; the files of every
# stand-in include folder of a mode join its names.
set(QX_LAYER_HEADERS_kernel
    wdm.h ntddk.h ntifs.h ntstrsafe.h wdmguid.h 1394.h portcls.h punknown.h stdunk.h drmk.h
    dmusicks.h dmusprop.h)
set(QX_LAYER_HEADER_PATTERN_kernel "^ks[a-z0-9_]*\\.h$")
set(QX_LAYER_HEADERS_user
    windows.h setupapi.h cfgmgr32.h dbt.h winioctl.h mmsystem.h mmreg.h objbase.h ole2.h unknwn.h
    combaseapi.h shlobj.h shellapi.h commctrl.h tchar.h)
set(QX_LAYER_HEADER_PATTERN_user "^afx[a-z0-9_]*\\.h$")

set(QX_LAYER_STANDARD_HEADERS
    algorithm any array atomic barrier bit bitset charconv chrono compare complex concepts
    condition_variable coroutine deque exception execution filesystem format forward_list fstream
    functional future initializer_list iomanip ios iosfwd iostream istream iterator latch limits list
    locale map memory memory_resource mutex new numbers numeric optional ostream queue random ranges
    ratio regex scoped_allocator semaphore set shared_mutex source_location span sstream stack
    stdexcept stop_token streambuf string string_view syncstream system_error thread tuple
    type_traits typeindex typeinfo unordered_map unordered_set utility valarray variant vector version
    cassert cctype cerrno cfenv cfloat cinttypes climits clocale cmath csetjmp csignal cstdarg
    cstddef cstdint cstdio cstdlib cstring ctime cuchar cwchar cwctype
    assert.h ctype.h errno.h fenv.h float.h inttypes.h limits.h locale.h math.h setjmp.h signal.h
    stdarg.h stddef.h stdint.h stdio.h stdlib.h string.h time.h uchar.h wchar.h wctype.h)
set(QX_LAYER_INTRINSIC_HEADERS cpuid.h arm_neon.h arm_acle.h)
set(QX_LAYER_INTRINSIC_PATTERN "^[a-z0-9_]*intrin\\.h$")

# The header names of `mode` ("kernel", "user" or "none"): the known ones and the files of the
# given stand-in include folders.
function(_qx_layer_mode_headers mode out)
  set(names)
  if(NOT mode STREQUAL "none")
    set(names ${QX_LAYER_HEADERS_${mode}})
    foreach(dir IN LISTS ARGN)
      file(GLOB files RELATIVE ${dir} ${dir}/*)
      list(APPEND names ${files})
    endforeach()
  endif()
  set(${out} ${names} PARENT_SCOPE)
endfunction()

function(_qx_layer_is_mode_header name mode headers out)
  set(yes FALSE)
  if(NOT mode STREQUAL "none")
    if(name IN_LIST headers OR name MATCHES "${QX_LAYER_HEADER_PATTERN_${mode}}")
      set(yes TRUE)
    endif()
  endif()
  set(${out} ${yes} PARENT_SCOPE)
endfunction()

# Why `name`, included from `file` of system folder `folder`, breaks the rule; empty when it
# does not. `quoted` is TRUE for an include in double quotes.
function(_qx_layer_judge folder file name quoted out)
  set(mode ${QX_LAYER_MODE_${folder}})
  set(why "")
  if(name MATCHES "(^|/)\\.\\.(/|$)")
    set(why "reaches out of its folder through \"..\"")
  elseif(name MATCHES "^(platform|sim)/")
    set(why "names a ${CMAKE_MATCH_1}/ path")
  elseif(name MATCHES "^([^/]+)/")
    set(top ${CMAKE_MATCH_1})
    if(top IN_LIST QX_SYSTEM_FOLDERS)
      if(NOT top STREQUAL folder AND NOT top IN_LIST QX_LAYER_EDGES_${folder}
         AND NOT name IN_LIST QX_LAYER_EDGES_${folder})
        if(QX_LAYER_EDGES_${folder})
          set(edges)
          foreach(edge IN LISTS QX_LAYER_EDGES_${folder})
            if(NOT edge MATCHES "/")
              string(APPEND edge "/")
            endif()
            list(APPEND edges ${edge})
          endforeach()
          list(JOIN edges ", " edges)
          set(why "${folder}/ may use only ${edges} of the other system folders")
        else()
          set(why "${folder}/ may use no other system folder")
        endif()
      endif()
    elseif(mode STREQUAL "none")
      set(why "is not a standard library or compiler intrinsic header, which is all unit/ may use")
    else()
      set(why "is neither in a system folder nor a ${mode}-mode stand-in header")
    endif()
  else()
    get_filename_component(dir "${file}" DIRECTORY)
    set(allowed FALSE)
    if((quoted AND EXISTS "${dir}/${name}") OR name IN_LIST QX_LAYER_STANDARD_HEADERS
       OR name IN_LIST QX_LAYER_INTRINSIC_HEADERS OR name MATCHES "${QX_LAYER_INTRINSIC_PATTERN}")
      set(allowed TRUE)  # beside the including file (its own folder), standard or intrinsic
    endif()
    # A resource script's art file, whose bytes the build hands it as "<file>.h" (qx_user_image).
    if(quoted AND name MATCHES "^([^/]+\\.(bmp|ico|cur))\\.h$" AND EXISTS "${dir}/art/${CMAKE_MATCH_1}")
      set(allowed TRUE)
    endif()
    _qx_layer_is_mode_header("${name}" ${mode} "${_qx_layer_headers_${mode}}" own)
    _qx_layer_is_mode_header("${name}" kernel "${_qx_layer_headers_kernel}" kernel)
    _qx_layer_is_mode_header("${name}" user "${_qx_layer_headers_user}" user)
    if(allowed OR own)
      set(why "")
    elseif(mode STREQUAL "none" AND (kernel OR user))
      set(why "is a Windows header, and unit/ uses the standard library only")
    elseif(kernel)
      set(why "is a kernel-mode header in the user-mode folder ${folder}/")
    elseif(user)
      set(why "is a user-mode header in the kernel-mode folder ${folder}/")
    elseif(mode STREQUAL "none")
      set(why "is not a standard library or compiler intrinsic header, which is all unit/ may use")
    else()
      set(why "is neither a ${mode}-mode stand-in header, a standard library header nor a compiler intrinsic header")
    endif()
  endif()
  set(${out} "${why}" PARENT_SCOPE)
endfunction()

# qx_check_layers(ROOT <dir> FOLDERS <folder>... [KERNEL_STAND_INS <dir>...] [USER_STAND_INS <dir>...]
#                 [RESULT <var>])
# Checks every source and header under ROOT/<folder> of each system folder given (a whole tree,
# or the folders of one image) against that folder's rule. The stand-in include folders add
# their files to the header names of their mode. Each violation is reported as
# "<file>:<line>: <what>"; with RESULT the list is returned (empty when clean), otherwise a
# violation fails the configure step.
function(qx_check_layers)
  cmake_parse_arguments(ARG "" "ROOT;RESULT" "FOLDERS;KERNEL_STAND_INS;USER_STAND_INS" ${ARGN})
  _qx_layer_mode_headers(kernel _qx_layer_headers_kernel ${ARG_KERNEL_STAND_INS})
  _qx_layer_mode_headers(user _qx_layer_headers_user ${ARG_USER_STAND_INS})
  set(_qx_layer_headers_none)
  set(violations)
  foreach(folder IN LISTS ARG_FOLDERS)
    if(NOT folder IN_LIST QX_SYSTEM_FOLDERS)
      message(FATAL_ERROR "qx_check_layers: ${folder} is not a system folder")
    endif()
    set(tree "${ARG_ROOT}/${folder}")
    file(GLOB_RECURSE files "${tree}/*.h" "${tree}/*.hpp" "${tree}/*.inl" "${tree}/*.c" "${tree}/*.cc"
         "${tree}/*.cpp")
    list(SORT files)
    foreach(file IN LISTS files)
      file(RELATIVE_PATH shown "${ARG_ROOT}" "${file}")
      file(READ "${file}" text)
      # One list element per line: characters that CMake lists treat specially become harmless.
      string(REPLACE "\\" "/" text "${text}")
      string(REPLACE ";" "," text "${text}")
      string(REPLACE "[" "(" text "${text}")
      string(REPLACE "]" ")" text "${text}")
      string(REPLACE "\n" ";" lines "${text}")
      set(number 0)
      foreach(line IN LISTS lines)
        math(EXPR number "${number} + 1")
        if(line MATCHES "^[ \t]*#[ \t]*include")
          if(line MATCHES "^[ \t]*#[ \t]*include[ \t]*(<([^>]*)>|\"([^\"]*)\")")
            set(written "${CMAKE_MATCH_1}")
            if(NOT "${CMAKE_MATCH_2}" STREQUAL "")
              set(name "${CMAKE_MATCH_2}")
              set(quoted FALSE)
            else()
              set(name "${CMAKE_MATCH_3}")
              set(quoted TRUE)
            endif()
            _qx_layer_judge(${folder} "${file}" "${name}" ${quoted} why)
            if(why)
              list(APPEND violations "${shown}:${number}: include ${written}: ${why}")
            endif()
          else()
            string(STRIP "${line}" shownLine)
            list(APPEND violations "${shown}:${number}: ${shownLine}: not a plain include of a header by name")
          endif()
        endif()
        if(line MATCHES "(^|[^A-Za-z0-9_])plat[ \t]*::" OR line MATCHES "namespace[ \t]+plat([^A-Za-z0-9_]|$)")
          list(APPEND violations "${shown}:${number}: names the stand-ins' namespace plat")
        endif()
      endforeach()
    endforeach()
  endforeach()
  if(ARG_RESULT)
    set(${ARG_RESULT} ${violations} PARENT_SCOPE)
  elseif(violations)
    list(JOIN violations "\n  " text)
    message(FATAL_ERROR "System code breaks the layer rule (cmake/QxLayers.cmake):\n  ${text}")
  endif()
endfunction()
