// For the ARC pass only, which compiles with Apple's runtime flags: GCC's
// runtime header reaches into objects, which Apple's runtime forbids. GNUstep's
// headers need only these names from it.
#pragma once

#include <objc/objc.h>

typedef struct objc_method* Method;
typedef struct objc_ivar* Ivar;
typedef struct objc_property* objc_property_t;
