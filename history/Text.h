#pragma once

// The engine's words for people (a failure's details, which the windows, the
// notifications and the command line show) in the user's language. They are
// marked with _() and ngettext() like the programs' own, and come from the
// programs' catalogue once a program has bound its text domain; a program
// that never binds it (a test, a tool) gets them in English.
//
// Include it only in the engine's .cpp files: its _() must not meet GLib's.

#include <libintl.h>

#include "foundation/Formatted.h"

namespace tarvine::history {

// The programs' text domain, which roots::language binds.
inline constexpr const char* textDomain = "tarvine";

}  // namespace tarvine::history

#define _(text) dgettext(::tarvine::history::textDomain, text)
#define N_(text) text
#undef ngettext
#define ngettext(one, many, count) dngettext(::tarvine::history::textDomain, one, many, count)
