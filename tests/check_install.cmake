# Installs the build into STAGING and checks that the files are where users look for them.
file(REMOVE_RECURSE "${STAGING}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${STAGING}"
                RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${result}")
endif()
foreach(file bin/chromaloom share/man/man1/chromaloom.1.gz share/doc/chromaloom/copyright
             share/doc/chromaloom/changelog.gz)
  if(NOT EXISTS "${STAGING}/${file}")
    message(FATAL_ERROR "${file} is not installed")
  endif()
endforeach()
execute_process(COMMAND "${STAGING}/bin/chromaloom" OUTPUT_VARIABLE usage RESULT_VARIABLE result)
if(NOT result EQUAL 0 OR NOT usage MATCHES "^Usage:\n")
  message(FATAL_ERROR "the installed chromaloom does not run: ${result} ${usage}")
endif()
