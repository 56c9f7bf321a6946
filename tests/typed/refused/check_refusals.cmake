# Compiles typed_refusals.cpp once per case: case 0 must compile, every other
# case must fail with exactly one error whose text holds the case's line.
#   cmake -DCXX=... -DFLAGS="-I...|-D..." -DSOURCE=typed_refusals.cpp -P check_refusals.cmake
set(expected
  "a value parameter is taken as T, const T& or a view (std::string_view, DRAVBytes), not as T& or T&&"
  "long long has no value kind (the wire's integers are 32 bits): carry a 64-bit integer as DRAVInt64 or DRAVUInt64"
  "long long has no value kind (the wire's integers are 32 bits): carry a 64-bit integer as DRAVInt64 or DRAVUInt64"
  "a pointer parameter would point into the call's values: take const std::string& or std::string_view for text, DRAVBytes for bytes"
  "no value kind for this type: the types of value_kinds.h, DRAVInt64, DRAVUInt64, or a std::vector of them as a list"
  "a list parameter takes every value of the call: no other value parameter"
  "method() binds a function of fixed parameters: a lambda without auto parameters, a function, or (object, &Class::member)"
  "long long has no value kind (the wire's integers are 32 bits): carry a 64-bit integer as DRAVInt64 or DRAVUInt64"
  "long long has no value kind (the wire's integers are 32 bits): carry a 64-bit integer as DRAVInt64 or DRAVUInt64"
  "a view would outlive the answer it views: read std::vector<unsigned char> or std::string"
  "a list is a whole answer, never one of several results: return or read it alone")
string(REPLACE "|" ";" flags "${FLAGS}")
set(failures "")
list(LENGTH expected count)
foreach(case RANGE 0 ${count})
  execute_process(COMMAND ${CXX} -std=c++17 -fsyntax-only ${flags} -DCASE=${case} ${SOURCE}
                  RESULT_VARIABLE rc ERROR_VARIABLE err OUTPUT_QUIET)
  if(case EQUAL 0)
    if(NOT rc EQUAL 0)
      string(APPEND failures "case 0 (the forms taken) does not compile:\n${err}\n")
    endif()
    continue()
  endif()
  math(EXPR index "${case} - 1")
  list(GET expected ${index} line)
  string(REGEX MATCHALL "error:" errors "${err}")
  list(LENGTH errors errorCount)
  string(FIND "${err}" "${line}" at)
  if(rc EQUAL 0 OR at EQUAL -1 OR NOT errorCount EQUAL 1)
    string(APPEND failures "case ${case}: expected one error saying \"${line}\", got ${errorCount}:\n${err}\n")
  endif()
endforeach()
if(failures)
  message(FATAL_ERROR "${failures}")
endif()
