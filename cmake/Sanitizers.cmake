# Applied before any target so that the libraries, the tests and every helper are instrumented. The
# sanitizer builds also keep assertions on, so that the suite checks the library's own invariants.
if(QUILLMETRICS_SANITIZER STREQUAL "address")
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer
                        -UNDEBUG)
    add_link_options(-fsanitize=address,undefined -fno-sanitize-recover=all)
elseif(QUILLMETRICS_SANITIZER STREQUAL "thread")
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer -UNDEBUG)
    add_link_options(-fsanitize=thread)
elseif(QUILLMETRICS_SANITIZER STREQUAL "fuzzer")
    # Coverage for libFuzzer on everything; the fuzz targets add the fuzzer's own main.
    add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
                        -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined -fno-sanitize-recover=all)
elseif(NOT QUILLMETRICS_SANITIZER STREQUAL "")
    message(FATAL_ERROR "QUILLMETRICS_SANITIZER must be '', address, thread or fuzzer")
endif()
