# A source tree that lacks one of the CMake files the build is put together from does not
# configure, and the error names that file: no test program or part of the build is left out
# without a word. Run as: cmake -DSOURCE=... -DWORK=... -DFRAGMENTS="a;b" -P cmake_fragments_test.cmake
#   SOURCE: the source tree; WORK: a scratch folder; FRAGMENTS: files relative to SOURCE, each
#   taken away from a copy of the tree of its own.
foreach(variable SOURCE WORK FRAGMENTS)
  if(NOT ${variable})
    message(FATAL_ERROR "cmake_fragments_test: ${variable} is not set")
  endif()
endforeach()

# Everything a configuration reads; the build trees beside it stay out.
set(tree CMakeLists.txt main.cpp app bench cli cmake db extract packaging standin tests)
set(failures 0)
foreach(fragment IN LISTS FRAGMENTS)
  string(MAKE_C_IDENTIFIER "${fragment}" name)
  set(copy ${WORK}/${name})
  file(REMOVE_RECURSE ${copy})
  file(MAKE_DIRECTORY ${copy})
  foreach(entry IN LISTS tree)
    file(COPY ${SOURCE}/${entry} DESTINATION ${copy})
  endforeach()
  if(NOT EXISTS ${copy}/${fragment})
    message(FATAL_ERROR "cmake_fragments_test: ${fragment} is not in the source tree")
  endif()
  file(REMOVE ${copy}/${fragment})
  execute_process(COMMAND ${CMAKE_COMMAND} -S ${copy} -B ${copy}/build
                  RESULT_VARIABLE configured OUTPUT_VARIABLE out ERROR_VARIABLE err)
  get_filename_component(file ${fragment} NAME)
  if(configured EQUAL 0)
    message(SEND_ERROR "without ${fragment} the tree still configures")
    math(EXPR failures "${failures} + 1")
  elseif(NOT "${out}${err}" MATCHES "${file}")
    message(SEND_ERROR "without ${fragment} the configuration fails without naming it:\n${err}")
    math(EXPR failures "${failures} + 1")
  else()
    message(STATUS "without ${fragment}: a configure error that names it")
  endif()
  file(REMOVE_RECURSE ${copy})
endforeach()
if(failures GREATER 0)
  message(FATAL_ERROR "${failures} missing file(s) went unnoticed")
endif()
