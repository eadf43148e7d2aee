# What each target may include.
#
# Sources include their headers by path from the repository root
# ("common/alloc.h", "smoothing/fast/engine.h") and the public headers by
# their installed name ("dispsmooth/smoothing.h").  No target has the
# repository root itself on its include path: each gets a view of its own
# in the build tree, a folder of symbolic links to just the source folders
# and public headers that its layer may use, so that an include reaching
# into another layer (the smoothing into a codec, say) does not compile.
#
#   dispsmooth_sees(<target> <path>...)
#
# Each path is a folder of the repository ("common", "smoothing") or a
# public header ("include/dispsmooth/smoothing.h", seen as
# "dispsmooth/smoothing.h").  The generated headers (dispsmooth/version.h)
# are seen by every target.
function(dispsmooth_sees target)
  set(view ${PROJECT_BINARY_DIR}/include-views/${target})
  file(REMOVE_RECURSE ${view})
  file(MAKE_DIRECTORY ${view})
  foreach(path IN LISTS ARGN)
    if(NOT EXISTS ${PROJECT_SOURCE_DIR}/${path})
      message(FATAL_ERROR "dispsmooth_sees(${target}): no ${path} in the source tree")
    endif()
    if(path MATCHES "^include/(.+)$")
      set(link ${view}/${CMAKE_MATCH_1})
    else()
      set(link ${view}/${path})
    endif()
    get_filename_component(parent ${link} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${path} ${link} SYMBOLIC)
  endforeach()
  target_include_directories(${target} PRIVATE ${view} ${DISPSMOOTH_GENERATED_INCLUDE})
endfunction()

# The public headers, by layer.
set(DISPSMOOTH_SMOOTHING_HEADERS include/dispsmooth/smoothing.h)
set(DISPSMOOTH_CODEC_HEADERS include/dispsmooth/tiff_codec.h include/dispsmooth/png_codec.h
                             include/dispsmooth/jpeg_codec.h)
set(DISPSMOOTH_DRIVER_HEADERS include/dispsmooth/driver.h)
set(DISPSMOOTH_API_HEADERS include/dispsmooth/dispsmooth.hpp include/dispsmooth/disparity_io.hpp)
# Everything: for the tests, which reach inside every layer.
set(DISPSMOOTH_ALL_FOLDERS common smoothing tiff png jpeg main api disparity_io include/dispsmooth)
