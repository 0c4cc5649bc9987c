# Configures build/linux as `cmake --preset linux` does, unless it is configured already: a
# tree in use (its tests may be running) is left as it stands.
if(NOT EXISTS ${VONTREL_SOURCE}/build/linux/CMakeCache.txt)
  execute_process(COMMAND ${CMAKE_COMMAND} --preset linux -DVONTREL_WERROR=${VONTREL_WERROR}
                  WORKING_DIRECTORY ${VONTREL_SOURCE}
                  RESULT_VARIABLE configured)
  if(NOT configured EQUAL 0)
    message(FATAL_ERROR "configuring build/linux for the Linux tools failed")
  endif()
endif()
