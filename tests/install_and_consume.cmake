# Installs the build tree BUILD_DIR into a scratch prefix under WORK_DIR,
# then configures, builds and runs the project in CONSUMER_DIR against it
# with find_package(dispsmooth), and compiles the same program once more
# with pkg-config's flags.
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)

function(run)
  execute_process(COMMAND ${ARGN} WORKING_DIRECTORY ${WORK_DIR} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    string(REPLACE ";" " " line "${ARGN}")
    message(FATAL_ERROR "${line} failed (${status}):\n${out}\n${err}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
foreach(file bin/dispsmooth bin/dispsmooth-batch include/dispsmooth/smoothing.h
             include/dispsmooth/dispsmooth.hpp include/dispsmooth/disparity_io.hpp
             include/dispsmooth/version.h
             share/man/man1/dispsmooth.1 share/man/man1/dispsmooth-batch.1)
  if(NOT EXISTS ${prefix}/${file})
    message(FATAL_ERROR "${file} was not installed")
  endif()
endforeach()

run(${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/consumer-build
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_BUILD_TYPE=Release)
run(${CMAKE_COMMAND} --build ${WORK_DIR}/consumer-build)
run(${WORK_DIR}/consumer-build/consumer)
if(NOT run_output MATCHES "consumer: dispsmooth [0-9]+\\.[0-9]+\\.[0-9]+ ok")
  message(FATAL_ERROR "unexpected consumer output:\n${run_output}")
endif()

find_program(PKG_CONFIG_PROGRAM pkg-config)
if(PKG_CONFIG_PROGRAM)
  file(GLOB pc_file ${prefix}/*/pkgconfig/dispsmooth.pc ${prefix}/*/*/pkgconfig/dispsmooth.pc)
  if(NOT pc_file)
    message(FATAL_ERROR "dispsmooth.pc was not installed")
  endif()
  get_filename_component(pc_dir ${pc_file} DIRECTORY)
  set(ENV{PKG_CONFIG_PATH} ${pc_dir})
  run(${PKG_CONFIG_PROGRAM} --cflags --libs dispsmooth)
  string(STRIP "${run_output}" flags)
  separate_arguments(flags UNIX_COMMAND "${flags}")
  run(${CXX} -std=c++20 ${CONSUMER_DIR}/main.cpp -o ${WORK_DIR}/consumer-pc ${flags})
  run(${WORK_DIR}/consumer-pc)
  if(NOT run_output MATCHES "consumer: dispsmooth [0-9]+\\.[0-9]+\\.[0-9]+ ok")
    message(FATAL_ERROR "unexpected output of the pkg-config build:\n${run_output}")
  endif()
endif()
file(REMOVE_RECURSE ${WORK_DIR})
