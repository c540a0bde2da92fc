#pragma once

// What Nautilus gives a module, played by the tests and the benchmarks: file
// infos, the type module and the loading of the module's entry points.

#include <gio/gio.h>

extern "C" {
#include <nautilus-extension.h>
}

#include <string>

namespace tarvine::testing {

// A file as Nautilus reports it: only its URI and whether it is a folder.
NautilusFileInfo* nautilusFileInfo(const std::string& uri, bool directory);

// Loads the module at `path` as Nautilus does and makes its one menu provider.
NautilusMenuProvider* loadNautilusProvider(const char* path);

}  // namespace tarvine::testing
