#pragma once

#include <string>

// The user's language for the programs (tarvine-app, tarvine, tarvine-history):
// their texts are marked with _() from <glib/gi18n.h> and translated by
// gettext from the catalogues of this text domain.
namespace tarvine::roots::language {

inline constexpr const char* textDomain = "tarvine";
// Names a folder of LANG/LC_MESSAGES/tarvine.mo catalogues to use instead of
// the installed ones: the build tree's, for tests and for running uninstalled.
inline constexpr const char* localeDirectoryVariable = "TARVINE_LOCALEDIR";

// The catalogues' folder: the variable above when it is set, else the one
// under the install prefix the build was configured with.
std::string localeDirectory();

// Takes the locale from the environment (messages, dates, numbers) and binds
// the text domain; each program's main calls it first. Machine-read output
// (JSON, the manifest, requests, the history's own files) is written without
// the locale's conventions: only the texts for people follow it.
void useUserLanguage();

}  // namespace tarvine::roots::language

namespace tarvine::roots::language {

// `pattern` (usually a translated text) filled in as printf fills it, so that
// a translation can reorder its values ("%2$s ... %1$s"); numbers follow the
// locale ("%.1f" gives "12,3" in German).
std::string formatted(const char* pattern, ...) __attribute__((format(printf, 1, 2)));

}  // namespace tarvine::roots::language
