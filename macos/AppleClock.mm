#include "macos/AppleClock.h"

#import <Foundation/Foundation.h>

#include "macos/AppleConversions.h"

namespace tarvine::apple {

Timestamp AppleClock::now() {
  @autoreleasepool {
    return timestamp([NSDate date]);
  }
}

}  // namespace tarvine::apple
