# Run with cmake -P, with NM and LIBRARY. The library must export its interface and nothing else: the
# class CHDR_Measurements, the ocv* plane functions and namespace hdrmeter (with any type information
# of its own), never the standard library's or OpenCV's template code that it instantiates.
execute_process(COMMAND ${NM} -D --defined-only -C ${LIBRARY} RESULT_VARIABLE rc OUTPUT_VARIABLE out
                ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${NM} cannot list ${LIBRARY} (${rc}): ${err}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${out}")
set(foreign "")
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^[0-9a-fA-F]* *[A-Za-z] " "" symbol "${line}")
  if(NOT symbol MATCHES "^(hdrmeter::|CHDR_Measurements::|ocv[A-Za-z0-9_]*\\(|(typeinfo|typeinfo name|vtable) for hdrmeter::)")
    string(APPEND foreign "  ${line}\n")
  endif()
endforeach()
if(foreign)
  message(FATAL_ERROR "${LIBRARY} exports symbols that are not hdrmeter's:\n${foreign}")
endif()
# One entry point of each face, so that a listing that lost the interface does not pass either.
foreach(entry "hdrmeter::Analyzer::analyze(" "hdrmeter::FrameStatistics::merge(" "CHDR_Measurements::HDR_Measurements("
              "ocvfilter2D(")
  string(FIND "${out}" "${entry}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${LIBRARY} does not export ${entry}...")
  endif()
endforeach()
