# The system's images as Windows builds them: the same folders' CMakeLists and sources, compiled
# by the MinGW-w64 cross toolchain against its own Windows and kernel headers. The project adds
# only what those headers lack (platform/windows/include) and its own interfaces (the 1394 bus
# driver's, the ASIO interface). Kernel images are native drivers with DriverEntry their only
# export; the ASIO DLL exports its three names.
set(QX_WINDOWS_GAPS ${PROJECT_SOURCE_DIR}/platform/windows/include)
set(QX_MINGW_DDK ${CMAKE_FIND_ROOT_PATH}/include/ddk)
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
set(CMAKE_LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)

add_compile_options(-Wall -Wextra -Werror)
include_directories(${PROJECT_SOURCE_DIR})

# What each mode's code sees besides MinGW-w64's own headers, and the import libraries its LINK
# names stand for.
add_library(qx_platform_kernel INTERFACE)
target_include_directories(qx_platform_kernel SYSTEM INTERFACE ${QX_WINDOWS_GAPS} ${QX_MINGW_DDK}
                           ${PROJECT_SOURCE_DIR}/platform/bus1394/include)
target_link_libraries(qx_platform_kernel INTERFACE ntoskrnl hal)
add_library(qx_platform_portcls INTERFACE)
target_link_libraries(qx_platform_portcls INTERFACE qx_platform_kernel qx_portcls_imports ks)
add_library(qx_platform_win32 INTERFACE)
target_include_directories(qx_platform_win32 SYSTEM INTERFACE ${QX_WINDOWS_GAPS})
target_link_libraries(qx_platform_win32 INTERFACE comctl32 gdi32 user32 shell32 setupapi advapi32 winmm kernel32)
add_library(qx_platform_com INTERFACE)
target_link_libraries(qx_platform_com INTERFACE ole32 uuid)
add_library(qx_platform_asio INTERFACE)
target_include_directories(qx_platform_asio SYSTEM INTERFACE ${PROJECT_SOURCE_DIR}/platform/asio/include)

# portcls.sys has no import library in MinGW-w64: one made from the names the adapter calls.
set(QX_PORTCLS_LIB ${CMAKE_BINARY_DIR}/libportcls.a)
add_custom_command(OUTPUT ${QX_PORTCLS_LIB}
  COMMAND x86_64-w64-mingw32-dlltool --dllname portcls.sys --def ${PROJECT_SOURCE_DIR}/platform/windows/portcls.def
          --output-lib ${QX_PORTCLS_LIB}
  DEPENDS ${PROJECT_SOURCE_DIR}/platform/windows/portcls.def)
add_custom_target(qx_portcls_imports_lib DEPENDS ${QX_PORTCLS_LIB})
add_library(qx_portcls_imports STATIC IMPORTED GLOBAL)
set_target_properties(qx_portcls_imports PROPERTIES IMPORTED_LOCATION ${QX_PORTCLS_LIB})
add_dependencies(qx_portcls_imports qx_portcls_imports_lib)

set(QX_KERNEL_FOLDERS unit kframework driver wdm)

# A driver has no C++ runtime: no type information, exceptions, guarded statics or constructors
# of statics.
function(_qx_kernel_code target)
  target_link_libraries(${target} PUBLIC qx_platform_kernel)
  target_compile_options(${target} PRIVATE -fno-rtti -fno-exceptions -fno-threadsafe-statics
                         -fno-asynchronous-unwind-tables -mno-stack-arg-probe
                         # MinGW-w64's IoSetCancelRoutine is a macro whose value may go unused, its
                         # stdunk.h defines an unsized delete and uses a multi-character tag, and
                         # GCC 12 takes the spin-lock macros' stores for dangling pointers.
                         -Wno-unused-value -Wno-sized-deallocation -Wno-multichar -Wno-dangling-pointer)
  target_compile_definitions(${target} PRIVATE _KERNEL_MODE)
endfunction()

add_library(qx_windows_stdunk STATIC ${PROJECT_SOURCE_DIR}/platform/windows/StdUnknown.cpp)
_qx_kernel_code(qx_windows_stdunk)
target_link_libraries(qx_platform_portcls INTERFACE qx_windows_stdunk)

# qx_library(<name> <folder> [OBJECT] SOURCES <file>... [LINK <lib>...]), as the Linux build has it.
function(qx_library name folder)
  cmake_parse_arguments(ARG "OBJECT" "" "SOURCES;LINK" ${ARGN})
  if(ARG_OBJECT)
    add_library(${name} OBJECT ${ARG_SOURCES})
  else()
    add_library(${name} STATIC ${ARG_SOURCES})
  endif()
  target_link_libraries(${name} PUBLIC ${ARG_LINK})
  if(folder IN_LIST QX_KERNEL_FOLDERS)
    _qx_kernel_code(${name})
  endif()
endfunction()

function(qx_kernel_image target)
  cmake_parse_arguments(ARG "" "NAME" "OBJECTS;LINK" ${ARGN})
  add_library(${target} SHARED)
  target_link_libraries(${target} PRIVATE ${ARG_OBJECTS} ${ARG_LINK} gcc)
  string(REGEX REPLACE "\\.[^.]*$" "" base ${ARG_NAME})
  set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME ${base} SUFFIX ".sys")
  target_link_options(${target} PRIVATE -nostdlib -Wl,--subsystem,native -Wl,--entry,DriverEntry
                      -Wl,--image-base,0x140000000 -Wl,--exclude-all-symbols -Wl,--disable-auto-import
                      ${PROJECT_SOURCE_DIR}/platform/windows/DriverEntry.def)
endfunction()

function(qx_user_image target)
  cmake_parse_arguments(ARG "" "NAME;BITS" "OBJECTS;EXPORTS;LINK;RESOURCES" ${ARGN})
  if(ARG_NAME MATCHES "\\.[eE][xX][eE]$")
    add_executable(${target})
    # The program's resources are written as the Linux build's C++ resource script, which no
    # Windows resource compiler reads: the Windows image is built and checked without them.
    target_link_options(${target} PRIVATE -mwindows)
  else()
    add_library(${target} SHARED)
    set(def ${CMAKE_CURRENT_BINARY_DIR}/${target}.def)
    list(JOIN ARG_EXPORTS "\n  " names)
    file(WRITE ${def} "EXPORTS\n  ${names}\n")
    target_link_options(${target} PRIVATE -mwindows -Wl,--exclude-all-symbols ${def})
    # The C runtime's DLL start-up calls DllMain once it is ready; the driver names its entry
    # DllEntryPoint.
    if("DllEntryPoint" IN_LIST ARG_EXPORTS)
      target_link_options(${target} PRIVATE -Wl,--defsym,DllMain=DllEntryPoint)
    endif()
  endif()
  target_link_libraries(${target} PRIVATE ${ARG_OBJECTS} ${ARG_LINK})
  string(REGEX REPLACE "\\.[^.]*$" "" base ${ARG_NAME})
  string(REGEX MATCH "\\.[^.]*$" suffix ${ARG_NAME})
  set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME ${base} SUFFIX ${suffix})
  target_link_options(${target} PRIVATE -static -static-libgcc -static-libstdc++)
endfunction()

# The class library is written against the Win32 names alone and builds here with the panel; its
# stand-in header folder is only an include folder in this build.
function(qx_stand_in_headers)
endfunction()

foreach(dir unit kframework driver wdm client asio platform/mfc panel)
  add_subdirectory(${dir})
endforeach()

# The smoke tests' Windows programs, run under Wine by scripts/windows.
add_executable(qx_asio_smoke_host ${PROJECT_SOURCE_DIR}/tests/windows/AsioSmokeHost.cpp)
target_link_libraries(qx_asio_smoke_host PRIVATE qx_platform_asio qx_platform_com qx_platform_win32)
set_target_properties(qx_asio_smoke_host PROPERTIES OUTPUT_NAME AsioSmokeHost)
target_link_options(qx_asio_smoke_host PRIVATE -static -static-libgcc -static-libstdc++)
