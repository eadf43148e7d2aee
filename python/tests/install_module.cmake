# Installs the python component of the build tree BUILD_DIR under a scratch
# prefix in WORK_DIR and imports the installed package with PYTHON from
# PREFIX/MODULE_DIR/dispsmooth, checking that its type information lies in
# it.
file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix} --component python
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "installing the python component failed:\n${out}\n${err}")
endif()
foreach(file __init__.py __init__.pyi py.typed dask.py)
  if(NOT EXISTS ${prefix}/${MODULE_DIR}/dispsmooth/${file})
    message(FATAL_ERROR "${file} was not installed in ${prefix}/${MODULE_DIR}/dispsmooth")
  endif()
endforeach()
set(ENV{PYTHONPATH} ${prefix}/${MODULE_DIR})
set(ENV{PYTHONDONTWRITEBYTECODE} 1)
# Run from the scratch directory: the interpreter looks in the current
# directory first.
execute_process(COMMAND ${PYTHON} -c
  "import dispsmooth, os, sys; print(os.path.dirname(dispsmooth.__file__)); print(os.path.dirname(dispsmooth._core.__file__)); print(dispsmooth.__version__)"
  WORKING_DIRECTORY ${WORK_DIR}
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the installed package does not import:\n${out}\n${err}")
endif()
file(REAL_PATH ${prefix}/${MODULE_DIR}/dispsmooth expected)
if(NOT out MATCHES "^${expected}\n${expected}\n[0-9]+\\.[0-9]+\\.[0-9]+\n$")
  message(FATAL_ERROR "the package was imported from elsewhere:\n${out}(expected ${expected})")
endif()
file(REMOVE_RECURSE ${WORK_DIR})
