#include "roots/Language.h"

#include <glib/gi18n.h>

#include <clocale>
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

}  // namespace tarvine::roots::language
