# Installs the python component of the build tree BUILD_DIR under a scratch
# prefix in WORK_DIR and imports the installed module with PYTHON from
# PREFIX/MODULE_DIR, checking that its type stub lies beside it.
file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix} --component python
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "installing the python component failed:\n${out}\n${err}")
endif()
if(NOT EXISTS ${prefix}/${MODULE_DIR}/dispsmooth.pyi)
  message(FATAL_ERROR "dispsmooth.pyi was not installed in ${prefix}/${MODULE_DIR}")
endif()
set(ENV{PYTHONPATH} ${prefix}/${MODULE_DIR})
set(ENV{PYTHONDONTWRITEBYTECODE} 1)
# Run from the scratch directory: the interpreter looks in the current
# directory first.
execute_process(COMMAND ${PYTHON} -c
  "import dispsmooth, os, sys; print(os.path.dirname(dispsmooth.__file__)); print(dispsmooth.__version__)"
  WORKING_DIRECTORY ${WORK_DIR}
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the installed module does not import:\n${out}\n${err}")
endif()
file(REAL_PATH ${prefix}/${MODULE_DIR} expected)
if(NOT out MATCHES "^${expected}\n[0-9]+\\.[0-9]+\\.[0-9]+\n$")
  message(FATAL_ERROR "the module was imported from elsewhere:\n${out}(expected ${expected})")
endif()
file(REMOVE_RECURSE ${WORK_DIR})
