# cmake -DNM=<nm> -DBINARY=<file> -P no-exceptions.cmake
#
# Fails when the binary defines or references the exception machinery or the
# demangler: the daemon throws nothing and catches nothing, so any of these came
# in through a library call that can throw (the ~37 KB of unwinder and demangler
# behind libstdc++'s verbose terminate handler, in a static build).
execute_process(COMMAND ${NM} ${BINARY} OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${NM} ${BINARY} failed (${status})")
endif()
string(REGEX MATCHALL
       "[^\n]*(__cxa_throw|__cxa_allocate_exception|__cxa_rethrow|__cxa_begin_catch|__gxx_personality|__cxa_demangle|__throw_)[^\n]*"
       found "${symbols}")
if(found)
  list(JOIN found "\n  " lines)
  message(FATAL_ERROR "${BINARY} links exception or demangler code:\n  ${lines}\n"
          "a library call in it can throw: use one that cannot")
endif()
