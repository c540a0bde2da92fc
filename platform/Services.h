#pragma once

#include "platform/Bookmarks.h"
#include "platform/Bundle.h"
#include "platform/Clock.h"
#include "platform/FileSystem.h"
#include "platform/HostController.h"
#include "platform/SystemLog.h"
#include "platform/UuidGenerator.h"
#include "platform/Workspace.h"

namespace tarvine {

// Everything outside the extension's own logic, handed to it at construction.
struct Services {
  HostController& host;
  Bundle& mainBundle;
  FileSystem& fileSystem;
  Workspace& workspace;
  Bookmarks& bookmarks;
  SystemLog& log;
  Clock& clock;
  UuidGenerator& uuids;
};

}  // namespace tarvine
