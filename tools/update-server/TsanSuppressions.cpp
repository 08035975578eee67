// Built into the server only for ThreadSanitizer builds. libcpp-httplib is not
// instrumented, so the sanitizer cannot see the inline guard check of its function-local
// statics and reports their first concurrent use as a race; its own calls into the
// sanitizer's interceptors are therefore not judged.
extern "C" const char* __tsan_default_suppressions() {
    return "called_from_lib:libcpp-httplib.so\n";
}
