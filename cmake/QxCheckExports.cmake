# Script mode, after an image is linked: the image's dynamic symbol table defines exactly its
# entries. Anything more would let two images share a symbol; anything less, the loader would not
# find.
#   cmake -DIMAGE=<file> -DNM=<nm> -DEXPORTS=<name;...> -P QxCheckExports.cmake
execute_process(COMMAND ${NM} -D --defined-only --format=posix ${IMAGE}
                OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${IMAGE}")
endif()
string(REPLACE "\n" ";" lines "${out}")
set(exported)
foreach(line IN LISTS lines)
  if(line MATCHES "^([^ @]+)")
    list(APPEND exported ${CMAKE_MATCH_1})
  endif()
endforeach()
list(SORT exported)
set(expected ${EXPORTS})
list(SORT expected)
if(NOT exported STREQUAL expected)
  list(JOIN exported ", " got)
  list(JOIN expected ", " want)
  message(FATAL_ERROR "${IMAGE} exports ${got}; it must export ${want} and nothing else")
endif()
