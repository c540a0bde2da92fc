#pragma once

#include <string>

#include "foundation/Formatted.h"

// The user's language for the programs (tarvine-app, tarvine, tarvine-history):
// their texts are marked with _() from <glib/gi18n.h> and translated by
// gettext from the catalogues of this text domain.
namespace tarvine::roots::language {

// The history engine names it too (history/Text.h), for its own words.
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

using tarvine::formatted;

}  // namespace tarvine::roots::language
