// Public. A colour of its own for every session, for when the log's eleven colours, which repeat,
// are not enough to tell sessions apart. No toolkit.
#pragma once

#include <cstdint>

#include "platform/Colors.h"

// Hues a golden-ratio turn apart, so that neighbouring numbers differ most; dark enough to read on
// the log's light background. The same number always gets the same colour. Session 0 (no session)
// is black.
TColor DistinctSessionColor(std::uint64_t Session);
