#pragma once

#include <string>
#include <vector>

#include "requests/HistoryRequest.h"
#include "roots/Keeper.h"

namespace tarvine::app {

// Carries out one request of the extension's through the Keeper; what was
// done, or why nothing was, in lines for the application's log.
std::vector<std::string> carryOut(roots::Keeper& keeper, const HistoryRequest& request);

}  // namespace tarvine::app
