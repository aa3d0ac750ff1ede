// Kept for bench/, which includes it: TempRoot and MakeTestEnv live in world.h.
#pragma once

#include "tests/support/world.h"
