# Forms of methods and calls the typed layer refuses at compile time: each
# one fails with its one static_assert line (refused/check_refusals.cmake).
# A compiler for this host only: the cross builds have no such test.
if(NOT CMAKE_CROSSCOMPILING)
  set(typed_refusal_flags "$<JOIN:$<TARGET_PROPERTY:dravCommon_static,INCLUDE_DIRECTORIES>,|-I>")
  add_test(NAME typed_refusals
    COMMAND ${CMAKE_COMMAND} -DCXX=${CMAKE_CXX_COMPILER} "-DFLAGS=-I${typed_refusal_flags}|-DDRAV_STATIC_DEFINE"
            -DSOURCE=${CMAKE_CURRENT_LIST_DIR}/refused/typed_refusals.cpp
            -P ${CMAKE_CURRENT_LIST_DIR}/refused/check_refusals.cmake)
  set_tests_properties(typed_refusals PROPERTIES TIMEOUT 600)
endif()
