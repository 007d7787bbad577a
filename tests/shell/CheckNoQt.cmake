# Fails if LIBRARY, or a library it loads, is a Qt library.
file(GET_RUNTIME_DEPENDENCIES LIBRARIES ${LIBRARY} RESOLVED_DEPENDENCIES_VAR found
     UNRESOLVED_DEPENDENCIES_VAR missing)
foreach(library IN LISTS found missing)
  if(library MATCHES "libQt")
    message(FATAL_ERROR "${LIBRARY} loads ${library}")
  endif()
endforeach()
message(STATUS "${LIBRARY} loads no Qt library")
