// Settings for sanitizer builds of chromaloom.
// - An impossible allocation must come back as a null pointer, as it does in a normal build, so
//   the run can report it instead of the sanitizer aborting.
// - Leak reports are off: the early endings leave their memory and open files to the end of the
//   process on purpose. Normal runs are checked for leaks with valgrind instead.
extern "C" const char* __asan_default_options() {
  return "allocator_may_return_null=1:detect_leaks=0";
}
