// In sanitizer builds an impossible allocation must come back as a null pointer, as it does in a
// normal build, so the run can report it instead of the sanitizer aborting.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }
