# Where the shared GCC run-time DLLs of the toolchain (DRAV_MINGW_RUNTIME_DLLS,
# set by the 32-bit toolchain file) lie: the compiler knows its own copies.
# drav_mingw_runtime_dll_paths(OUT): full paths, in the order of the list;
# empty when the target links the run-time statically.
function(drav_mingw_runtime_dll_paths out)
  set(paths "")
  foreach(dll ${DRAV_MINGW_RUNTIME_DLLS})
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
      OUTPUT_VARIABLE dll_path OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT IS_ABSOLUTE "${dll_path}" OR NOT EXISTS "${dll_path}")
      message(FATAL_ERROR "${CMAKE_CXX_COMPILER} does not know where ${dll} is")
    endif()
    get_filename_component(dll_path "${dll_path}" REALPATH)
    list(APPEND paths ${dll_path})
  endforeach()
  set(${out} ${paths} PARENT_SCOPE)
endfunction()
