#include "platform/linux/LibuuidGenerator.h"

#include <uuid/uuid.h>

namespace tarvine {

std::string LibuuidGenerator::randomUuidString() {
  uuid_t uuid;
  uuid_generate_random(uuid);
  char text[37];
  uuid_unparse_upper(uuid, text);
  return text;
}

}  // namespace tarvine
