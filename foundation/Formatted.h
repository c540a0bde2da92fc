#pragma once

#include <string>

namespace tarvine {

// `pattern` (usually a translated text) filled in as printf fills it, so that
// a translation can reorder its values ("%2$s ... %1$s"); numbers follow the
// locale ("%.1f" gives "12,3" in German).
std::string formatted(const char* pattern, ...) __attribute__((format(printf, 1, 2)));

}  // namespace tarvine
