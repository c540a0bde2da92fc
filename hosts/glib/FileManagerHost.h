#pragma once

#include <optional>
#include <vector>

#include "foundation/FileURL.h"
#include "platform/HostController.h"

namespace tarvine {

// The selection a menu was built for. It is kept with the menu, so that a
// command picked later goes to these items, wherever the file manager has
// moved on to since.
struct CapturedSelection {
  std::optional<std::vector<FileURL>> selected;
  std::optional<FileURL> targeted;
};

// The controller the extension sees inside a real file manager: the scope it
// registered, and the selection of the menu or command being served. Outside
// those calls nothing is selected.
class FileManagerHost : public HostController {
 public:
  void setDirectoryURLs(const std::vector<FileURL>& directories) override;
  std::optional<std::vector<FileURL>> selectedItemURLs() override;
  std::optional<FileURL> targetedURL() override;

  // Whether `url` is one of the registered directories or inside one: the
  // file manager asks for nothing else.
  bool inScope(const FileURL& url) const;

  // Makes `selection` the one the extension sees while the guard lives.
  class Serving {
   public:
    Serving(FileManagerHost& host, const CapturedSelection& selection) : host_(host) {
      host_.current_ = &selection;
    }
    ~Serving() { host_.current_ = nullptr; }
    Serving(const Serving&) = delete;
    Serving& operator=(const Serving&) = delete;

   private:
    FileManagerHost& host_;
  };

 private:
  std::vector<FileURL> scope_;
  const CapturedSelection* current_ = nullptr;
};

}  // namespace tarvine
