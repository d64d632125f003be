// Public. The program's colour value, without any toolkit.
//
// A TColor is 32 bits: red in the low byte, green in the next, blue in the third, 0 in the top
// byte; 0 is black. The top byte is ignored.
#pragma once

#include <cstdint>

using TColor = std::uint32_t;

constexpr TColor clBlack = 0x00000000;
