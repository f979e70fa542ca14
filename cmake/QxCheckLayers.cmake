# The layer check outside a configure, over every system folder of a tree or the given ones (an
# image's):
#   cmake -DROOT=<tree> [-DFOLDERS=<folder;...>] [-DKERNEL_STAND_INS=<dir>] [-DUSER_STAND_INS=<dir>]
#         -P cmake/QxCheckLayers.cmake
# Prints one "<file>:<line>: <what>" line per violation and fails when there is any.
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/QxLayers.cmake)

if(NOT FOLDERS)
  set(FOLDERS ${QX_SYSTEM_FOLDERS})
endif()
set(folders)
foreach(folder IN LISTS FOLDERS)
  if(IS_DIRECTORY ${ROOT}/${folder})
    list(APPEND folders ${folder})
  endif()
endforeach()
qx_check_layers(ROOT ${ROOT} FOLDERS ${folders} KERNEL_STAND_INS ${KERNEL_STAND_INS}
                USER_STAND_INS ${USER_STAND_INS} RESULT violations)
foreach(violation IN LISTS violations)
  message("${violation}")
endforeach()
list(LENGTH violations count)
if(count)
  message(FATAL_ERROR "${count} violation(s) of the layer rule")
endif()
