# Generates zq_version.h (target zq_version) from the project's version and,
# in a git checkout, the checkout's description.

set(ZQ_GIT_DESCRIPTION "")
find_package(Git QUIET)
# only our own checkout counts: sources unpacked inside some other repository
# must not carry that repository's description
if(GIT_FOUND AND EXISTS "${PROJECT_SOURCE_DIR}/.git")
  execute_process(
    COMMAND "${GIT_EXECUTABLE}" describe --always --dirty
    WORKING_DIRECTORY "${PROJECT_SOURCE_DIR}"
    OUTPUT_VARIABLE ZQ_GIT_DESCRIPTION
    OUTPUT_STRIP_TRAILING_WHITESPACE
    ERROR_QUIET
    RESULT_VARIABLE ZQ_GIT_STATUS)
  if(NOT ZQ_GIT_STATUS EQUAL 0)
    set(ZQ_GIT_DESCRIPTION "")
  endif()
  # a new commit or checkout configures again, so the description follows it
  execute_process(
    COMMAND "${GIT_EXECUTABLE}" rev-parse --absolute-git-dir
    WORKING_DIRECTORY "${PROJECT_SOURCE_DIR}"
    OUTPUT_VARIABLE ZQ_GIT_DIR
    OUTPUT_STRIP_TRAILING_WHITESPACE
    ERROR_QUIET)
  foreach(file HEAD logs/HEAD)
    if(ZQ_GIT_DIR AND EXISTS "${ZQ_GIT_DIR}/${file}")
      set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${ZQ_GIT_DIR}/${file}")
    endif()
  endforeach()
endif()

set(ZQ_GENERATED_DIR "${PROJECT_BINARY_DIR}/generated")
configure_file("${CMAKE_CURRENT_LIST_DIR}/zq_version.h.in" "${ZQ_GENERATED_DIR}/zq_version.h" @ONLY)
add_library(zq_version INTERFACE)
target_include_directories(zq_version INTERFACE "${ZQ_GENERATED_DIR}")
