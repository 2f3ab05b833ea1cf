# The plugin built on its own against an installed SDK, then run by the host:
# installs the SDK component of BUILD into WORK/sdk, configures and builds the
# plugin alone against it (TARNWICK_HOST_SDK) in WORK/build, and runs the
# host program's scan, load, save and reload case with that plugin.
#   cmake -DSOURCE= -DBUILD= -DWORK= -DGENERATOR= -DBUILD_TYPE= -DJOBS=
#         [-DTOOLCHAIN= | -DCOMPILER=] [-DOBJDUMP= -DCHECK_DLL=]
#         -DTEST_PROGRAM= -DTEST_CASE= [-DEMULATOR=] [-DPATH_PREFIX=] -P host_sdk_check.cmake

# run(STEP COMMAND...): runs one step, its output shown only when it fails.
function(run step)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE failed OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(failed)
    message(FATAL_ERROR "${step} failed (${failed}):\n${output}")
  endif()
  message(STATUS "${step}: done")
  set(output "${output}" PARENT_SCOPE)
endfunction()

# Nothing of an earlier run may stand in for this one's.
file(REMOVE_RECURSE ${WORK})
run("install of the SDK" ${CMAKE_COMMAND} --install ${BUILD} --component sdk --prefix ${WORK}/sdk)

set(configure -S ${SOURCE} -B ${WORK}/build -G ${GENERATOR} -DCMAKE_BUILD_TYPE=${BUILD_TYPE}
  -DTARNWICK_WARNINGS_AS_ERRORS=ON -DTARNWICK_HOST_SDK=${WORK}/sdk)
if(TOOLCHAIN)
  list(APPEND configure --toolchain ${TOOLCHAIN})
else()
  list(APPEND configure -DCMAKE_CXX_COMPILER=${COMPILER})
endif()
run("configure of the plugin alone" ${CMAKE_COMMAND} ${configure})
run("build" ${CMAKE_COMMAND} --build ${WORK}/build --parallel ${JOBS})

# The plugin is all it built: the SDK came from the install, not the tree.
file(GLOB built RELATIVE ${WORK}/build/bin ${WORK}/build/bin/*)
if(NOT built MATCHES "^Tarnwick\\.(so|dll)$")
  message(FATAL_ERROR "the build made ${built}, not the plugin alone")
endif()
set(plugin ${WORK}/build/bin/${built})
if(CHECK_DLL)
  run("exports and imports" ${CMAKE_COMMAND} -DOBJDUMP=${OBJDUMP} -DDLL=${plugin} -P ${CHECK_DLL})
endif()

set(ENV{TARNWICK_TEST_PLUGIN} "${PATH_PREFIX}${plugin}")
run("the host with that plugin" ${EMULATOR} ${TEST_PROGRAM} --gtest_filter=${TEST_CASE})
# A skipped case would prove nothing.
if(NOT output MATCHES "\\[  PASSED  \\] 1 test")
  message(FATAL_ERROR "${TEST_CASE} did not run and pass:\n${output}")
endif()
message(STATUS "${TEST_CASE}: passed with ${plugin}")
