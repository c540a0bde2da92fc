#pragma once

#include <functional>

namespace tarvine::testing {

// Runs `body` in a forked child with a time limit. The child's exit status is
// the result (128 + the signal when it was killed), so a hang or a crash fails
// the test instead of the whole run, and limits set in the child stay there.
int inChild(const std::function<int()>& body, unsigned seconds = 60);

// The peak resident memory of this process so far, in bytes.
long peakResidentBytes();

// Whether the build is instrumented by AddressSanitizer, whose allocator makes
// memory figures and address-space limits meaningless.
constexpr bool kAddressSanitized =
#if defined(__SANITIZE_ADDRESS__)
    true;
#else
    false;
#endif

}  // namespace tarvine::testing
