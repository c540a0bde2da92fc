#include "tests/support/ModuleEnvironment.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace tarvine::testing {
namespace {

namespace fs = std::filesystem;

constexpr const char* kGroup = "QF7T2K9M4R.com.quillfen.tarvine";

std::string home() {
  const passwd* record = ::getpwuid(::getuid());
  return record != nullptr && record->pw_dir != nullptr ? record->pw_dir : "/";
}

}  // namespace

std::vector<std::string> finishedRequests(const std::string& spool) {
  std::vector<std::string> found;
  std::error_code missing;
  for (const auto& entry : fs::directory_iterator(spool, missing)) {
    const std::string name = entry.path().filename().string();
    if (name[0] != '.' && entry.path().extension() == ".json") found.push_back(entry.path());
  }
  return found;
}

ModuleEnvironment::ModuleEnvironment(const std::string& appex)
    : root_(home() + "/.tarvine-module-test-" + std::to_string(::getpid())) {
  ::setenv("TARVINE_EXTENSION_BUNDLE", appex.c_str(), 1);
  ::setenv("LANGUAGE", "en", 1);
  ::setenv("XDG_DATA_HOME", data_.path().c_str(), 1);
  // The folders need not exist: matching keeps what does not exist as written.
  data_.write(std::string(kGroup) + "/roots.json",
              R"({"version":1,"publishedAt":"2025-03-14T09:26:53Z","roots":[{"path":")" + root_ +
                  R"(/watched","isPaused":false,"mode":"manual"}]})");
  application_ = bus_.connect();
}

ModuleEnvironment::~ModuleEnvironment() {
  if (application_ != nullptr) g_object_unref(application_);
}

void ModuleEnvironment::own(bool owned) {
  if (owned) {
    nameId_ = g_bus_own_name_on_connection(application_, "com.quillfen.tarvine",
                                           G_BUS_NAME_OWNER_FLAGS_NONE, nullptr, nullptr, nullptr,
                                           nullptr);
  } else {
    g_bus_unown_name(nameId_);
  }
}

std::string ModuleEnvironment::uri(const std::string& relative) const {
  return "file://" + root_ + relative;
}

std::vector<nlohmann::json> ModuleEnvironment::requests(std::size_t count) {
  const std::string spool = data_.path() + "/" + kGroup + "/requests";
  iterateUntil([&] { return finishedRequests(spool).size() >= count; });
  std::vector<nlohmann::json> found;
  for (const std::string& path : finishedRequests(spool)) {
    std::ifstream in(path);
    found.push_back(nlohmann::json::parse(in));
    fs::remove(path);
  }
  return found;
}

bool ModuleEnvironment::iterateUntil(const std::function<bool()>& done) {
  const gint64 end = g_get_monotonic_time() + 5 * G_USEC_PER_SEC;
  while (!done()) {
    if (g_get_monotonic_time() > end) return false;
    g_main_context_iteration(nullptr, FALSE);
    g_usleep(2000);
  }
  return true;
}

}  // namespace tarvine::testing
