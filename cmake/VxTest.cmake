# Tests are GoogleTest programs run by CTest under Wine (the cross-compiling emulator,
# set by scripts/test.sh to scripts/run). Every test program lands in bin/ beside
# velvox.exe and the suite's DLLs, and runs with bin/ as its working directory.
function(vx_add_gtest name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE GTest::gtest_main vx_testsupport ${T_LIBS})
  add_test(NAME ${name} COMMAND ${name} --gtest_color=no
           WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
  if(T_TIMEOUT)
    set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT})
  endif()
endfunction()
