#include "base/state.h"

ServiceStateData ServiceState{};
