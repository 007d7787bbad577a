# Configures and builds the fuzzers' tree with clang; the test fuzz.build runs it.
# cmake -DSOURCE=tests/fuzz -DBINARY=DIR -DCXX=clang++ -DGENERATOR=G -DVERSION_DIR=DIR [-DLAUNCHER=ccache]
#   -P BuildTree.cmake
# VERSION_DIR: the folder of the configuring build's TesmorVersion.h.
set(configure ${CMAKE_COMMAND} -S ${SOURCE} -B ${BINARY} -G ${GENERATOR} -DCMAKE_CXX_COMPILER=${CXX}
  -DTESMOR_VERSION_DIR=${VERSION_DIR})
if(LAUNCHER)
  list(APPEND configure -DCMAKE_CXX_COMPILER_LAUNCHER=${LAUNCHER})
endif()
execute_process(COMMAND ${configure} OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BINARY} COMMAND_ERROR_IS_FATAL ANY)
