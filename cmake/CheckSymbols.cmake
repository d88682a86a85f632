# Compares the dynamic symbols our libraries define with the checked-in list, so that a symbol
# exported by mistake (or one lost) fails the build's tests.
# Usage: cmake -DNM=nm -DLIBRARIES="a.so;b.so" -DEXPECTED=file -DACTUAL=file -P CheckSymbols.cmake
set(names "")
foreach(library IN LISTS LIBRARIES)
    execute_process(COMMAND ${NM} -DC --defined-only ${library} OUTPUT_VARIABLE output
                    RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "nm failed on ${library}")
    endif()
    string(REPLACE "\n" ";" lines "${output}")
    foreach(line IN LISTS lines)
        # Keep our own names; the standard library's template instances come along by design.
        if(line MATCHES "^[0-9a-f]+ [A-Za-z] (.*)$")
            set(name "${CMAKE_MATCH_1}")
            if(name MATCHES "^(typeinfo|typeinfo name|vtable|VTT) for std::")
                continue()
            endif()
            if(name MATCHES "Metrics::|TStringCore|TFormatStringCore|TEvent|IEvent|TReadWriteLock|RefCntObject|TSystem|QuillException|ThrowLogicException")
                list(APPEND names "${name}")
            endif()
        endif()
    endforeach()
endforeach()
list(REMOVE_DUPLICATES names)
list(SORT names)
string(REPLACE ";" "\n" text "${names}")
file(WRITE ${ACTUAL} "${text}\n")
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${EXPECTED} ${ACTUAL} RESULT_VARIABLE different)
if(different)
    message(FATAL_ERROR "exported symbols differ from ${EXPECTED}; see ${ACTUAL}:\n"
                        "diff ${EXPECTED} ${ACTUAL}")
endif()
