# Configures and builds the fuzzers' tree with clang; the test fuzz.build runs it.
# cmake -DSOURCE=tests/fuzz -DBINARY=DIR -DCXX=clang++ -DGENERATOR=G [-DLAUNCHER=ccache] -P BuildTree.cmake
set(configure ${CMAKE_COMMAND} -S ${SOURCE} -B ${BINARY} -G ${GENERATOR} -DCMAKE_CXX_COMPILER=${CXX})
if(LAUNCHER)
  list(APPEND configure -DCMAKE_CXX_COMPILER_LAUNCHER=${LAUNCHER})
endif()
execute_process(COMMAND ${configure} OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BINARY} COMMAND_ERROR_IS_FATAL ANY)
