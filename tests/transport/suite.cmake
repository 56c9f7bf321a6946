# The SSL error hook the transport loads by name ("dravSsl") at run time: a
# small library that records its calls, found through test_transport's
# run path like any library on the normal search path.
if(NOT WIN32)
  add_library(dravSsl SHARED ${CMAKE_CURRENT_SOURCE_DIR}/transport/hook/ssl_hook.cpp)
  set_target_properties(dravSsl PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/ssl-hook)
  add_dependencies(test_transport dravSsl)
  set_property(TARGET test_transport APPEND PROPERTY BUILD_RPATH ${CMAKE_CURRENT_BINARY_DIR}/ssl-hook)
endif()
# Under the sanitizers dlopen is intercepted and the run path no longer
# applies: name the folder on the library path as well.
if(NOT WIN32)
  set_property(TEST transport APPEND PROPERTY ENVIRONMENT "LD_LIBRARY_PATH=${CMAKE_CURRENT_BINARY_DIR}/ssl-hook")
endif()
