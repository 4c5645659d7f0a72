# A file that includes halvo/halvo.hpp preprocesses to at most 1.2 times
# the lines of one that includes only the standard headers that the C++
# headers include themselves.
#   cmake -DCXX=COMPILER -DINCLUDE=DIR -DOUT=DIR -P check-header-cost.cmake
file(GLOB_RECURSE headers ${INCLUDE}/halvo/*.hpp)
set(standard_includes "")
foreach(h ${headers})
  file(STRINGS ${h} lines REGEX "^#include <[a-z_]+>")
  list(APPEND standard_includes ${lines})
endforeach()
list(REMOVE_DUPLICATES standard_includes)
list(SORT standard_includes)
list(JOIN standard_includes "\n" text)
file(MAKE_DIRECTORY ${OUT})
file(WRITE ${OUT}/standard.cpp "${text}\n")
file(WRITE ${OUT}/layer.cpp "#include <halvo/halvo.hpp>\n")

# The lines of SRC preprocessed, without line markers.
function(lines_of src var)
  execute_process(COMMAND ${CXX} -std=c++17 -E -P -I${INCLUDE} ${src}
                  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${CXX} -E ${src} failed:\n${err}")
  endif()
  string(REGEX MATCHALL "\n" newlines "${out}")
  list(LENGTH newlines n)
  set(${var} ${n} PARENT_SCOPE)
endfunction()

lines_of(${OUT}/standard.cpp standard)
lines_of(${OUT}/layer.cpp layer)
math(EXPR permille "${layer} * 1000 / ${standard}")
string(REPLACE "\n" " " names "${text}")
message(STATUS "halvo.hpp: ${layer} lines; its standard headers alone: ${standard}; ratio ${permille}/1000 (${names})")
if(permille GREATER 1200)
  message(FATAL_ERROR "halvo.hpp costs more than 1.2 times its standard headers")
endif()
