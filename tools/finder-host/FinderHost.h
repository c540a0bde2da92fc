#pragma once

#include <optional>
#include <string>
#include <vector>

#include "extension/FinderSync.h"
#include "platform/HostController.h"

namespace tarvine {

// Plays the file manager for one extension object: keeps what the extension
// registered, the selection and the targeted item, asks for menus and
// delivers chosen selectors. Each command gives exactly one answer.
class FinderHost : public HostController {
 public:
  explicit FinderHost(bool json) : json_(json) {}

  // The extension to drive; it must outlive the host's use of it.
  void attach(FinderSync& extension) { extension_ = &extension; }

  struct Answer {
    bool ok = true;
    std::string text;  // one line in JSON mode, a readable block otherwise
  };
  Answer execute(const std::vector<std::string>& words);
  // Splits a command line as a shell would, then executes it.
  Answer executeLine(const std::string& line);

  void setDirectoryURLs(const std::vector<FileURL>& directories) override;
  std::optional<std::vector<FileURL>> selectedItemURLs() override { return selection_; }
  std::optional<FileURL> targetedURL() override { return targeted_; }

 private:
  Answer error(const std::string& message) const;
  Answer ok() const;
  Answer sent(std::optional<Selector> selector) const;
  Answer scope() const;
  Answer toolbar() const;
  Answer select(const std::vector<std::string>& paths);
  Answer target(const std::vector<std::string>& paths);
  Answer menu(const std::vector<std::string>& arguments);
  Answer pick(const std::vector<std::string>& arguments);
  Answer send(const std::vector<std::string>& arguments);

  bool json_;
  FinderSync* extension_ = nullptr;
  std::vector<FileURL> scope_;
  std::optional<std::vector<FileURL>> selection_;
  std::optional<FileURL> targeted_;
  std::optional<Menu> lastMenu_;
};

}  // namespace tarvine
