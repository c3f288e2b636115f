#include "app/state.h"

ServiceStateData ServiceState{};
