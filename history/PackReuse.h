#pragma once

#include <git2.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

#include "foundation/Status.h"

// A pack of everything some snapshots reach, written from the history's own
// packs as they hold it: each object's stored bytes are sent again, checked
// against the index's checksum, without being read, compressed or hashed
// anew. libgit2's pack builder does all three for every object, which made
// a packed history's first push to a mirror three times git's. An object
// that is loose, damaged in its pack, or stored as a delta against one the
// pack does not send is read through libgit2 and compressed whole.
namespace tarvine::history {

class ReusedPack {
 public:
  // Takes the pack's bytes in order; a failure stops the writing.
  using Sink = std::function<Status(std::string_view)>;
  // Told of each object written, with how many there are; false stops.
  using Progress = std::function<bool(std::size_t written, std::size_t all)>;

  // What a pack of the objects `roots` reach would be made of. Packs that
  // cannot be read as they should are left out: their objects count as loose.
  static Result<ReusedPack> plan(git_repository* repository, const std::vector<git_oid>& roots);

  ReusedPack(ReusedPack&&) noexcept;
  ReusedPack& operator=(ReusedPack&&) noexcept;
  ~ReusedPack();

  std::size_t objects() const;
  std::size_t loose() const;  // of them, found in no pack
  // Writes the pack, ending with its checksum. `repository` is the one
  // planned from.
  Status write(git_repository* repository, const Sink& sink, const Progress& progress) const;

 private:
  struct Plan;
  explicit ReusedPack(std::unique_ptr<Plan> plan);
  std::unique_ptr<Plan> plan_;
};

}  // namespace tarvine::history
