#pragma once

#include <string>

namespace tarvine::history {

// The steps by which packing makes the history's files durable and removes
// them. Packing removes nothing before what replaces it is synced; tests
// journal these steps to see that order, or make one fail.
class PackSteps {
 public:
  virtual ~PackSteps() = default;

  // Makes the file or folder at `path` durable (fsync): 0, or -1 and errno.
  virtual int sync(const std::string& path);
  // Removes the file at `path`: 0, or -1 and errno.
  virtual int remove(const std::string& path);

  // The system's own steps.
  static PackSteps& real();
};

}  // namespace tarvine::history
