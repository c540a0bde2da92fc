#pragma once

#include <functional>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/Services.h"
#include "platform/posix/PosixFileSystem.h"
#include "tests/support/FaultInjectingFileSystem.h"

namespace tarvine::testing {

// What the doubles were asked, in order, across all of them.
using Journal = std::vector<std::string>;

struct Journaled {
  void note(const std::string& event) {
    if (journal != nullptr) journal->push_back(event);
  }
  Journal* journal = nullptr;
};

// The host's side of the controller: what the extension registered, and the
// selection and target that a test sets.
class FakeHostController : public HostController, public Journaled {
 public:
  void setDirectoryURLs(const std::vector<FileURL>& directories) override {
    registrations.push_back(directories);
  }
  std::optional<std::vector<FileURL>> selectedItemURLs() override { return selection; }
  std::optional<FileURL> targetedURL() override { return targeted; }

  std::vector<std::vector<FileURL>> registrations;
  std::optional<std::vector<FileURL>> selection;
  std::optional<FileURL> targeted;
};

class FakeBundle : public Bundle, public Journaled {
 public:
  std::optional<std::string> bundleIdentifier() override {
    ++identifierLookups;
    return identifier;
  }
  std::optional<PropertyListValue> objectForInfoDictionaryKey(std::string_view key) override {
    ++infoLookups;
    auto it = info.find(std::string(key));
    if (it == info.end()) return std::nullopt;
    return it->second;
  }
  FileURL bundleURL() override { return url; }
  std::string localizedString(std::string_view key, std::string_view defaultValue) override {
    auto it = strings.find(std::string(key));
    if (it != strings.end()) return it->second;
    return defaultValue.empty() ? std::string(key) : std::string(defaultValue);
  }
  std::optional<NamedImage> imageNamed(std::string_view name) override {
    auto it = images.find(std::string(name));
    if (it == images.end()) return std::nullopt;
    return it->second;
  }

  std::optional<std::string> identifier = "com.quillfen.tarvine.FinderSync";
  std::map<std::string, PropertyListValue> info;
  FileURL url =
      FileURL::fromPath("/Applications/Tarvine.app/Contents/PlugIns/TarvineFinderSync.appex", true);
  std::map<std::string, std::string> strings;
  std::map<std::string, NamedImage> images;
  int identifierLookups = 0;
  int infoLookups = 0;
};

class FakeWorkspace : public Workspace, public Journaled {
 public:
  bool isApplicationRunning(std::string_view bundleIdentifier) override {
    runningQueries.emplace_back(bundleIdentifier);
    note("running? " + std::string(bundleIdentifier));
    return running;
  }
  void openApplication(const FileURL& url, bool activates) override {
    opened.push_back(url);
    activated.push_back(activates);
    note("open " + url.rawPath());
    if (onOpen) onOpen();
  }

  bool running = true;
  std::vector<std::string> runningQueries;
  std::vector<FileURL> opened;
  std::vector<bool> activated;
  std::function<void()> onOpen;
};

class FakeBookmarks : public Bookmarks, public Journaled {
 public:
  bool startAccessing(const FileURL& url) override {
    events.push_back("start " + url.path());
    note(events.back());
    return grantsAccess;
  }
  void stopAccessing(const FileURL& url) override {
    events.push_back("stop " + url.path());
    note(events.back());
  }
  std::optional<Data> bookmarkData(const FileURL& url) override {
    events.push_back("bookmark " + url.path());
    note(events.back());
    return bookmark;
  }

  bool grantsAccess = true;
  std::optional<Data> bookmark = Data{0x62, 0x6f, 0x6f, 0x6b};
  std::vector<std::string> events;
};

class FakeLog : public SystemLog, public Journaled {
 public:
  void write(std::string_view line) override {
    lines.emplace_back(line);
    note("log " + lines.back());
  }
  std::vector<std::string> lines;
};

class FakeClock : public Clock, public Journaled {
 public:
  Timestamp now() override {
    note("now");
    return time;
  }
  Timestamp time = Timestamp::fromUnix(1'741'944'413, 250'000'000);  // 2025-03-14T09:26:53.25Z
};

class SequenceUuids : public UuidGenerator, public Journaled {
 public:
  std::string randomUuidString() override;
  int issued = 0;
};

// A complete set of services over a real file system rooted in `dataHome`,
// with every outside service replaced by a recording double.
struct FakeServices {
  explicit FakeServices(const std::string& dataHome) : posix(dataHome), fileSystem(posix) {
    for (Journaled* d : std::initializer_list<Journaled*>{&host, &bundle, &workspace, &bookmarks,
                                                          &log, &clock, &uuids}) {
      d->journal = &journal;
    }
    fileSystem.journal = &journal;
  }

  Services services() {
    return Services{host, bundle, fileSystem, workspace, bookmarks, log, clock, uuids};
  }

  Journal journal;
  PosixFileSystem posix;
  FaultInjectingFileSystem fileSystem;
  FakeHostController host;
  FakeBundle bundle;
  FakeWorkspace workspace;
  FakeBookmarks bookmarks;
  FakeLog log;
  FakeClock clock;
  SequenceUuids uuids;
};

}  // namespace tarvine::testing
