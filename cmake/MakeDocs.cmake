# Runs at build time (cmake -P): the manual page and the bash completion
# that PROGRAM prints of itself, into OUT; the page gzipped as Debian wants
# (-9, no name or time stamp).
execute_process(COMMAND ${PROGRAM} manpage OUTPUT_FILE ${OUT}/zentrova.1 RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} manpage failed: ${result}")
endif()
execute_process(COMMAND ${PROGRAM} completion bash OUTPUT_FILE ${OUT}/zentrova.bash
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} completion bash failed: ${result}")
endif()
foreach(page zentrova.1 zentrova-gui.1)
  if(page STREQUAL "zentrova-gui.1")
    file(COPY_FILE ${SOURCE}/data/zentrova-gui.1 ${OUT}/zentrova-gui.1)
  endif()
  execute_process(COMMAND ${GZIP} -9nf ${OUT}/${page} RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "gzip ${page} failed: ${result}")
  endif()
endforeach()
