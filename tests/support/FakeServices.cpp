#include "tests/support/FakeServices.h"

#include <cstdio>

namespace tarvine::testing {

std::string SequenceUuids::randomUuidString() {
  char text[40];
  std::snprintf(text, sizeof text, "00000000-0000-4000-8000-%012X", ++issued);
  note("uuid");
  return text;
}

}  // namespace tarvine::testing
