# The include views hold: what a layer may include compiles in its view,
# and what belongs to a layer above it or beside it does not.
#   cmake -DCXX=<compiler> -DVIEWS=<build>/include-views -DWORK=<dir> -P layering.cmake
#
# Each row: target, header it includes, whether that must compile.
set(cases
  "dispsmooth_smoothing|common/buffer.h|yes"
  "dispsmooth_smoothing|dispsmooth/smoothing.h|yes"
  "dispsmooth_smoothing|tiff/tiff_internal.h|no"
  "dispsmooth_smoothing|dispsmooth/png_codec.h|no"
  "dispsmooth_smoothing|api/api_internal.h|no"
  "dispsmooth_common|smoothing/median3x3.h|no"
  "dispsmooth_tiff|tiff/tiff_internal.h|yes"
  "dispsmooth_tiff|png/png_internal.h|no"
  "dispsmooth_png|smoothing/median3x3.h|no"
  "dispsmooth_jpeg|dispsmooth/dispsmooth.hpp|no"
  "dispsmooth_api|tiff/tiff_internal.h|yes"
  "dispsmooth_api|smoothing/fast/engine.h|yes"
  "dispsmooth_python|api/api_internal.h|yes"
  "dispsmooth_python|common/buffer.h|no"
  "dispsmooth_python|tiff/tiff_internal.h|no"
  "dispsmooth_python|dispsmooth/disparity_io.hpp|yes"
  "dispsmooth_python|disparity_io/disparity_io_internal.h|no"
  "dispsmooth_disparity_io|api/api_internal.h|yes"
  "dispsmooth_disparity_io|jpeg/jpeg_internal.h|no"
  "dispsmooth_disparity_io|smoothing/median3x3.h|no"
  "dispsmooth-batch|dispsmooth/disparity_io.hpp|yes"
  "dispsmooth-batch|common/output_file.h|no"
  "dispsmooth-batch|disparity_io/disparity_io_internal.h|no")
file(MAKE_DIRECTORY ${WORK})
set(failures 0)
foreach(row IN LISTS cases)
  string(REPLACE "|" ";" row "${row}")
  list(GET row 0 target)
  list(GET row 1 header)
  list(GET row 2 expected)
  if(NOT EXISTS ${VIEWS}/${target})
    message(STATUS "skipped: ${target} is not built here")
    continue()
  endif()
  set(probe ${WORK}/probe.cpp)
  file(WRITE ${probe} "#include \"${header}\"\n")
  execute_process(COMMAND ${CXX} -std=c++20 -fsyntax-only -I${VIEWS}/${target} ${probe}
                  RESULT_VARIABLE status OUTPUT_QUIET ERROR_VARIABLE diagnostics)
  if(status EQUAL 0)
    set(compiled yes)
  elseif(diagnostics MATCHES "No such file or directory")
    set(compiled no)
  else()
    message(SEND_ERROR "${target} including ${header} failed for another reason:\n${diagnostics}")
    math(EXPR failures "${failures} + 1")
    continue()
  endif()
  if(NOT compiled STREQUAL expected)
    message(SEND_ERROR "${target} including ${header}: compiled ${compiled}, expected ${expected}")
    math(EXPR failures "${failures} + 1")
  endif()
endforeach()
if(failures GREATER 0)
  message(FATAL_ERROR "${failures} layering case(s) failed")
endif()
