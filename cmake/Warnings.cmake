# Warnings for our own targets only; third-party code is compiled with its own settings.
function(quillmetrics_enable_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wnon-virtual-dtor
                           -Woverloaded-virtual -Wsuggest-override)
    if(QUILLMETRICS_WERROR)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
endfunction()
