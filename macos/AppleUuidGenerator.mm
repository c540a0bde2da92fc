#include "macos/AppleUuidGenerator.h"

#import <Foundation/Foundation.h>

#include "macos/AppleConversions.h"

namespace tarvine::apple {

std::string AppleUuidGenerator::randomUuidString() {
  @autoreleasepool {
    return text([[NSUUID UUID] UUIDString]);
  }
}

}  // namespace tarvine::apple
