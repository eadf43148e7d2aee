# Three runs of the tool under memcheck over a small generated scene, so
# that every reader and every writer is used once on its success path.
if(NOT VALGRIND)
  message("skipped: valgrind not found")
  return()
endif()
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")
execute_process(COMMAND "${SCENE}" "${WORK}" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "scene generator failed: ${rc}")
endif()
foreach(run "ref.png disp.tif out.jpg" "ref.jpg disp.png out.tif" "ref.tif disp.jpg out.png")
  string(REPLACE " " ";" names "${run}")
  list(GET names 0 ref)
  list(GET names 1 disp)
  list(GET names 2 out)
  file(WRITE "${WORK}/kelv_input.txt" "${ref} ${disp} 2 3 12 ${out}\n")
  file(REMOVE "${WORK}/${out}")
  execute_process(COMMAND "${VALGRIND}" --error-exitcode=1 --leak-check=full
                          --errors-for-leak-kinds=definite,indirect --show-leak-kinds=definite,indirect
                          "${TOOL}"
                  WORKING_DIRECTORY "${WORK}" RESULT_VARIABLE rc OUTPUT_VARIABLE out_text
                  ERROR_VARIABLE err_text)
  if(NOT rc EQUAL 0 OR NOT EXISTS "${WORK}/${out}")
    message("${err_text}")
    message(FATAL_ERROR "memcheck run ${run}: status ${rc}")
  endif()
  string(REGEX MATCH "ERROR SUMMARY: [0-9]+ errors" summary "${err_text}")
  message(STATUS "${run}: ${summary}")
endforeach()
