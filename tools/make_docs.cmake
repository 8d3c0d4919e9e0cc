# Writes halvexctl's man page and bash completion by asking the tool itself.
execute_process(COMMAND ${TOOL} --help-man OUTPUT_FILE ${MAN} RESULT_VARIABLE man_rc)
execute_process(COMMAND ${TOOL} --completion bash OUTPUT_FILE ${COMPLETION} RESULT_VARIABLE bash_rc)
if(NOT man_rc EQUAL 0 OR NOT bash_rc EQUAL 0)
  message(FATAL_ERROR "halvexctl could not write its man page or completion")
endif()
