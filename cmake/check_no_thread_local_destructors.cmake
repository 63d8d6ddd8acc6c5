# cmake -DNM=<nm> -DFILES=<a;b;...> -P check_no_thread_local_destructors.cmake
# Fails when one of the files refers to __cxa_thread_atexit, i.e. holds a thread_local
# object with a destructor. The Windows runtime (emulated thread-local storage under
# winpthreads) frees a thread's thread_local storage before it runs those destructors;
# what a thread owns goes back through a thread-end slot (platform/thread_platform.h).
foreach(file IN LISTS FILES)
  execute_process(COMMAND "${NM}" -A "${file}" OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${NM} could not read ${file}")
  endif()
  string(REGEX MATCHALL "[^\n]*__cxa_thread_atexit[^\n]*" uses "${symbols}")
  if(uses)
    string(REPLACE ";" "\n" uses "${uses}")
    message(FATAL_ERROR "thread_local objects with destructors in ${file}:\n${uses}")
  endif()
endforeach()
