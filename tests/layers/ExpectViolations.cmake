# Runs the layer check on a tree that breaks the rule and expects it to fail with exactly the
# violations of EXPECTED, one "<file>:<line>: <what>" line each:
#   cmake -DCHECK=<QxCheckLayers.cmake> -DROOT=<tree> -DEXPECTED=<file> [-DKERNEL_STAND_INS=<dir>]
#         [-DUSER_STAND_INS=<dir>] -P ExpectViolations.cmake
cmake_minimum_required(VERSION 3.25)

execute_process(COMMAND ${CMAKE_COMMAND} -DROOT=${ROOT} -DKERNEL_STAND_INS=${KERNEL_STAND_INS}
                        -DUSER_STAND_INS=${USER_STAND_INS} -P ${CHECK}
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(result EQUAL 0)
  message(FATAL_ERROR "the check passed a tree that breaks the rule:\n${output}")
endif()

string(REPLACE "\n" ";" lines "${output}")
set(reported)
foreach(line IN LISTS lines)
  if(line MATCHES "^[a-z]+/[^ ]*:[0-9]+: ")
    list(APPEND reported "${line}")
  endif()
endforeach()
file(STRINGS ${EXPECTED} expected)

set(missing ${expected})
list(REMOVE_ITEM missing ${reported})
set(unexpected ${reported})
list(REMOVE_ITEM unexpected ${expected})
list(LENGTH reported reportedCount)
list(LENGTH expected expectedCount)
if(missing OR unexpected OR NOT reportedCount EQUAL expectedCount)
  list(JOIN missing "\n  " missing)
  list(JOIN unexpected "\n  " unexpected)
  message(FATAL_ERROR "not reported:\n  ${missing}\nreported but not expected:\n  ${unexpected}\n"
                      "(${reportedCount} reported, ${expectedCount} expected)")
endif()
