#include "macos/AppleSystemLog.h"

#import <Foundation/Foundation.h>

#include "macos/AppleConversions.h"

namespace tarvine::apple {

void AppleSystemLog::write(std::string_view line) {
  @autoreleasepool {
    NSLog(@"%@", string(std::string(line)));
  }
}

}  // namespace tarvine::apple
