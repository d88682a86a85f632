// Sanitizer settings built into every test program, so that a test run by hand behaves as under
// ctest. Each runtime reads its hook only when that sanitizer is linked in.

// The runtimes look these names up; they are theirs, not ours.
// NOLINTBEGIN(bugprone-reserved-identifier,readability-identifier-naming)
extern "C" {

const char* __asan_default_options() { return "abort_on_error=1:detect_leaks=1"; }

const char* __ubsan_default_options() { return "print_stacktrace=1:halt_on_error=1"; }

const char* __tsan_default_options() { return "halt_on_error=1:second_deadlock_stack=1"; }
}
// NOLINTEND(bugprone-reserved-identifier,readability-identifier-naming)
