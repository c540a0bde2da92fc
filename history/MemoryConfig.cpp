#include "history/MemoryConfig.h"

#include <git2/sys/config.h>

#include <algorithm>
#include <memory>

namespace tarvine::history {
namespace {

// The backend libgit2 holds (its first member, so that the one is the other),
// and the settings with their entries, which point into them.
struct Settings {
  explicit Settings(MemorySettings given) : values(std::move(given)) {
    for (const auto& [name, value] : values) {
      entries.push_back({name.c_str(), value.c_str(), 0, GIT_CONFIG_LEVEL_APP,
                         [](git_config_entry*) {}, nullptr});
    }
  }
  const MemorySettings values;  // never changed: the entries point into it
  std::vector<git_config_entry> entries;
};

struct Backend {
  git_config_backend parent;
  Settings* settings;
};

Settings& settingsOf(git_config_backend* backend) {
  return *reinterpret_cast<Backend*>(backend)->settings;
}

git_config_backend* memoryBackend(const MemorySettings& given) {
  auto* backend = new Backend{{}, new Settings(given)};
  git_config_backend* parent = &backend->parent;
  (void)git_config_init_backend(parent, GIT_CONFIG_BACKEND_VERSION);  // only fills it in
  parent->readonly = 1;
  parent->open = [](git_config_backend*, git_config_level_t, const git_repository*) { return 0; };
  parent->get = [](git_config_backend* self, const char* name, git_config_entry** out) {
    auto& entries = settingsOf(self).entries;
    auto found = std::find_if(entries.begin(), entries.end(), [&](const git_config_entry& entry) {
      return std::string_view(entry.name) == name;
    });
    if (found == entries.end()) return static_cast<int>(GIT_ENOTFOUND);
    *out = &*found;
    return 0;
  };
  parent->set = [](git_config_backend*, const char*, const char*) {
    return static_cast<int>(GIT_ERROR);
  };
  parent->set_multivar = [](git_config_backend*, const char*, const char*, const char*) {
    return static_cast<int>(GIT_ERROR);
  };
  parent->del = [](git_config_backend*, const char*) { return static_cast<int>(GIT_ERROR); };
  parent->del_multivar = [](git_config_backend*, const char*, const char*) {
    return static_cast<int>(GIT_ERROR);
  };
  // Listed, the settings are not: only asked for by name.
  parent->iterator = [](git_config_iterator** out, git_config_backend* self) {
    auto* iterator = new git_config_iterator{};
    iterator->backend = self;
    iterator->next = [](git_config_entry**, git_config_iterator*) {
      return static_cast<int>(GIT_ITEROVER);
    };
    iterator->free = [](git_config_iterator* it) { delete it; };
    *out = iterator;
    return 0;
  };
  parent->snapshot = [](git_config_backend** out, git_config_backend* self) {
    *out = memoryBackend(settingsOf(self).values);
    return 0;
  };
  parent->lock = [](git_config_backend*) { return 0; };
  parent->unlock = [](git_config_backend*, int) { return 0; };
  parent->free = [](git_config_backend* self) {
    auto* backend = reinterpret_cast<Backend*>(self);
    delete backend->settings;
    delete backend;
  };
  return parent;
}

}  // namespace

int addMemorySettings(git_config* config, const MemorySettings& settings,
                      const git_repository* repository) {
  git_config_backend* backend = memoryBackend(settings);
  const int added = git_config_add_backend(config, backend, GIT_CONFIG_LEVEL_APP, repository, 0);
  if (added != 0) backend->free(backend);
  return added;
}

}  // namespace tarvine::history
