// Kept for code outside tests/ that includes it: the temporary root and the
// test Env live in the world builder.
#pragma once

#include "tests/support/world.h"
