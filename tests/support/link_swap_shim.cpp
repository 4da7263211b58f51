// Preloaded into chromaloom by the tests (LD_PRELOAD) to win a race deterministically: the first
// time the process opens CHROMALOOM_SWAP_PATH to create it, that name is replaced, just before the
// open, by a symbolic link to CHROMALOOM_SWAP_TARGET. This is what someone who can write the
// output's directory could do between the check of the output name and its creation.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>

namespace {

void swap_in_link(const char* path, int flags) {
  static bool swapped = false;
  const char* victim = std::getenv("CHROMALOOM_SWAP_PATH");
  const char* target = std::getenv("CHROMALOOM_SWAP_TARGET");
  if (swapped || victim == nullptr || target == nullptr || (flags & O_CREAT) == 0) return;
  if (std::strcmp(path, victim) != 0) return;
  swapped = true;
  unlink(path);
  if (symlink(target, path) != 0) std::abort();
}

using OpenFunction = int (*)(const char*, int, ...);

int forward(const char* symbol, const char* path, int flags, mode_t mode) {
  static OpenFunction next_open = nullptr, next_open64 = nullptr;
  OpenFunction& next = std::strcmp(symbol, "open") == 0 ? next_open : next_open64;
  if (next == nullptr) next = reinterpret_cast<OpenFunction>(dlsym(RTLD_NEXT, symbol));
  swap_in_link(path, flags);
  return next(path, flags, mode);
}

mode_t mode_of(int flags, va_list arguments) {
  return (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(arguments, int)) : 0;
}

}  // namespace

extern "C" int open(const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  const mode_t mode = mode_of(flags, arguments);
  va_end(arguments);
  return forward("open", path, flags, mode);
}

extern "C" int open64(const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  const mode_t mode = mode_of(flags, arguments);
  va_end(arguments);
  return forward("open64", path, flags, mode);
}
