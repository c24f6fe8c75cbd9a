# Programs that run with more rights than whoever can write the folder they start from,
# their current folder or PATH: the setup's helpers and the suite's tools that the setup
# runs as administrator, and the self-decrypting stub, which runs from wherever a user
# saved it. Windows looks for a statically imported DLL in the program's own folder
# before the system folder unless the DLL is one of the system's known DLLs, and that
# happens before the program's first line. Such a program therefore imports only known
# DLLs; any other system DLL it needs is delay-loaded, and the first thing its main does
# is suite::RestrictDllSearch() (suite/common/dllsearch.h), so that the first call into
# a delay-loaded DLL finds it in the system folder only.
#
#   vx_system_dlls_only(<target> [DELAY_LOAD dll...])   dll: bcrypt, crypt32, comctl32...
#
# Call it after the target's other target_link_libraries: the delay-load import
# libraries must come after the code that calls into them and before the ordinary
# import libraries that other libraries bring, or those would resolve the calls.
get_filename_component(vx_toolchain_bindir ${CMAKE_CXX_COMPILER} DIRECTORY)
get_filename_component(vx_toolchain_cc ${CMAKE_CXX_COMPILER} NAME)
string(REGEX REPLACE "-g\\+\\+.*$" "" vx_toolchain_triple ${vx_toolchain_cc})
find_program(VX_DLLTOOL NAMES ${vx_toolchain_triple}-dlltool HINTS ${vx_toolchain_bindir} REQUIRED)
find_program(VX_NM NAMES ${vx_toolchain_triple}-nm HINTS ${vx_toolchain_bindir} REQUIRED)

# A delay-load import library of system DLL `dll` into `out`, made by dlltool from every
# name that the toolchain's own import library of that DLL exports; once per configure.
function(vx_delay_import_library dll out)
  set(dir ${CMAKE_BINARY_DIR}/delayload)
  set(lib ${dir}/lib${dll}_delay.a)
  set(${out} ${lib} PARENT_SCOPE)
  get_property(made GLOBAL PROPERTY VX_DELAY_IMPORT_${dll})
  if(made)
    return()
  endif()
  find_library(VX_IMPLIB_${dll} NAMES ${dll} REQUIRED)
  execute_process(COMMAND ${VX_NM} -g ${VX_IMPLIB_${dll}} OUTPUT_VARIABLE syms
                  COMMAND_ERROR_IS_FATAL ANY)
  string(REGEX MATCHALL "__imp_[A-Za-z0-9_@?]+" imps "${syms}")
  list(REMOVE_DUPLICATES imps)
  set(def "LIBRARY ${dll}.dll\nEXPORTS\n")
  foreach(imp ${imps})
    string(REGEX REPLACE "^__imp_" "" name ${imp})
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
      string(REGEX REPLACE "^_" "" name ${name})  # the 32-bit C prefix
    endif()
    string(APPEND def "${name}\n")
  endforeach()
  set_property(GLOBAL PROPERTY VX_DELAY_IMPORT_${dll} TRUE)
  # Made again only when the names change, so that a new configure relinks nothing.
  set(old)
  if(EXISTS ${dir}/${dll}_delay.def AND EXISTS ${lib})
    file(READ ${dir}/${dll}_delay.def old)
  endif()
  if("${old}" STREQUAL "${def}")
    return()
  endif()
  file(WRITE ${dir}/${dll}_delay.def "${def}")
  set(kill_at)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(kill_at -k)  # the DLL exports undecorated names; the symbols keep their @n
  endif()
  execute_process(COMMAND ${VX_DLLTOOL} ${kill_at} -d ${dir}/${dll}_delay.def -D ${dll}.dll
                          -y ${lib}
                  COMMAND_ERROR_IS_FATAL ANY)
endfunction()

function(vx_system_dlls_only target)
  cmake_parse_arguments(V "" "" "DELAY_LOAD" ${ARGN})
  set(libs)
  set(names)
  foreach(dll ${V_DELAY_LOAD})
    vx_delay_import_library(${dll} lib)
    list(APPEND libs ${lib})
    string(APPEND names "L\"${dll}.dll\", ")
  endforeach()
  # The ordinary import library named by the target itself would come first.
  get_target_property(direct ${target} LINK_LIBRARIES)
  if(direct AND V_DELAY_LOAD)
    list(REMOVE_ITEM direct ${V_DELAY_LOAD})
    set_property(TARGET ${target} PROPERTY LINK_LIBRARIES ${direct})
  endif()
  # What the search restriction loads from the system folder by full path where the
  # system cannot restrict the search itself.
  set(list ${CMAKE_CURRENT_BINARY_DIR}/${target}_delayload.cpp)
  set(text "#include \"dllsearch.h\"\n")
  string(APPEND text "const wchar_t* const suite::kDelayLoadedDlls[] = {${names}nullptr};\n")
  file(CONFIGURE OUTPUT ${list} CONTENT "${text}")
  target_sources(${target} PRIVATE ${list})
  target_link_libraries(${target} PRIVATE ${libs} vx_suite_common)
endfunction()
