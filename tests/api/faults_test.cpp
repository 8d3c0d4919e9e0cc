// Faults on the wire: the chassis misbehaves, the library keeps its promises.
#include "api/api_environment.h"
