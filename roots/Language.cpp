#include "roots/Language.h"

#include <glib/gi18n.h>

#include <clocale>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace tarvine::roots::language {

std::string localeDirectory() {
  const char* given = std::getenv(localeDirectoryVariable);
  return given != nullptr && *given != '\0' ? given : TARVINE_LOCALE_DIR;
}

void useUserLanguage() {
  // A locale that is not installed leaves the C locale, in which gettext
  // translates nothing: the programs then speak English, as they should.
  (void)std::setlocale(LC_ALL, "");
  bindtextdomain(textDomain, localeDirectory().c_str());
  bind_textdomain_codeset(textDomain, "UTF-8");
  textdomain(textDomain);
}

std::string formatted(const char* pattern, ...) {
  std::va_list values;
  va_start(values, pattern);
  std::va_list again;
  va_copy(again, values);
  const int length = std::vsnprintf(nullptr, 0, pattern, values);
  va_end(values);
  std::string text;
  if (length > 0) {
    text.resize(static_cast<std::size_t>(length) + 1);
    std::vsnprintf(text.data(), text.size(), pattern, again);
    text.resize(static_cast<std::size_t>(length));
  }
  va_end(again);
  return text;
}

}  // namespace tarvine::roots::language
