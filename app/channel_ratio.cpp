#include "app/channel_ratio.h"

#include <locale.h>
#include <stdlib.h>

namespace chromaloom {

namespace {

// strtod_l with a "C" locale object keeps the decimal point a full stop even
// if something in the process has selected another locale.
locale_t c_locale() {
  static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return locale;
}

}  // namespace

double parse_channel_ratio(const char* text) {
  const locale_t locale = c_locale();
  if (locale == static_cast<locale_t>(nullptr)) return strtod(text, nullptr);
  return strtod_l(text, nullptr, locale);
}

}  // namespace chromaloom
