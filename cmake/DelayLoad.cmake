# Delay-loaded system DLLs. A DLL the window needs only later (the file
# dialogs, the shell, the 9x spooler, COM for the I/O thread) is loaded at its
# first call instead of before the program's first line: under Wine every DLL
# loaded at start-up, with the DLLs it pulls in, adds to the time until the
# window shows.
#
#   quolm_delay_load_library(<variable> <dll> <function>@<argument bytes>...)
#
# sets <variable> to an import library for <dll> whose functions go through
# the runtime's delay-load helper (__delayLoadHelper2, in libmingwex). The
# argument bytes name the 32-bit stdcall symbol; the 64-bit build drops them.
# Link it before the system libraries, in place of -l<dll>.
function(quolm_delay_load_library VAR DLL)
  if(NOT CMAKE_DLLTOOL)
    message(FATAL_ERROR "delay loading ${DLL} needs dlltool (CMAKE_DLLTOOL)")
  endif()
  get_filename_component(_name ${DLL} NAME_WE)
  set(_dir ${CMAKE_BINARY_DIR}/delayload)
  set(_def "LIBRARY ${DLL}\nEXPORTS\n")
  foreach(_fn ${ARGN})
    if(CMAKE_SIZEOF_VOID_P EQUAL 8)
      string(REGEX REPLACE "@[0-9]+$" "" _fn ${_fn})
    endif()
    string(APPEND _def "${_fn}\n")
  endforeach()
  file(MAKE_DIRECTORY ${_dir})
  file(CONFIGURE OUTPUT ${_dir}/${_name}.def CONTENT "${_def}")
  set(_lib ${_dir}/lib${_name}_delay.a)
  # The library follows its .def (rewritten only when its content changes).
  if(NOT EXISTS ${_lib} OR ${_dir}/${_name}.def IS_NEWER_THAN ${_lib})
    execute_process(COMMAND ${CMAKE_DLLTOOL} --kill-at --input-def ${_dir}/${_name}.def --dllname ${DLL}
                            --output-delaylib ${_lib}
                    RESULT_VARIABLE _rc ERROR_VARIABLE _err)
    if(NOT _rc EQUAL 0)
      message(FATAL_ERROR "dlltool could not make the delay-load library of ${DLL}: ${_err}")
    endif()
  endif()
  set(${VAR} ${_lib} PARENT_SCOPE)
endfunction()
