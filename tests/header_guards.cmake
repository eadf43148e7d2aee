# Every header's include guard is its path from the repository root in
# capitals, with DISPSMOOTH_ in front and "/" and "." as "_"; a public header
# under include/dispsmooth/ is named by its path there.
#   cmake -DSOURCE_DIR=<repository> -P header_guards.cmake
file(GLOB_RECURSE headers RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/*.h ${SOURCE_DIR}/*.hpp)
set(wrong "")
set(checked 0)
foreach(header IN LISTS headers)
  if(header MATCHES "^(build|\\.git)/")
    continue()
  endif()
  string(REGEX REPLACE "^include/dispsmooth/" "" name "${header}")
  string(TOUPPER "DISPSMOOTH_${name}" guard)
  string(REGEX REPLACE "[/.]" "_" guard "${guard}")
  file(READ ${SOURCE_DIR}/${header} text)
  if(NOT text MATCHES "#ifndef ${guard}\n#define ${guard}\n")
    string(APPEND wrong "  ${header}: expected ${guard}\n")
  endif()
  math(EXPR checked "${checked} + 1")
endforeach()
if(wrong)
  message(FATAL_ERROR "include guards that do not follow the path:\n${wrong}")
endif()
message(STATUS "${checked} headers checked")
