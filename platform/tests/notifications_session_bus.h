#pragma once
#include "tests/support/session_bus.h"  // IWYU pragma: export
