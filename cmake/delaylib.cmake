# Makes a delay-load import library for one DLL out of its ordinary import
# library: every function that one names, bound at its first call.
# cmake -DNM=<nm> -DDLLTOOL=<dlltool> -DIMPLIB=<lib*.a> -DDLL=<name.dll> -DOUT=<lib*.a> -P delaylib.cmake
execute_process(COMMAND ${NM} ${IMPLIB} OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${NM} ${IMPLIB} failed")
endif()
string(REGEX MATCHALL "I __imp_[^\r\n]+" entries "${symbols}")
set(def "LIBRARY ${DLL}\nEXPORTS\n")
foreach(entry IN LISTS entries)
  string(REPLACE "I __imp_" "" name "${entry}")
  string(APPEND def "${name}\n")
endforeach()
get_filename_component(dir ${OUT} DIRECTORY)
get_filename_component(name ${OUT} NAME)
file(WRITE ${dir}/${DLL}.def "${def}")
# dlltool names its symbols after the output path as given: a bare name keeps
# the build folder out of them, so every build gives the same bytes.
execute_process(COMMAND ${DLLTOOL} --input-def ${DLL}.def --dllname ${DLL} --output-delaylib ${name}
                WORKING_DIRECTORY ${dir} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${DLLTOOL} could not make ${OUT}")
endif()
