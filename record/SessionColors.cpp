// Distinct session colours: golden-ratio hues, converted from HSV by hand.
#include "record/SessionColors.h"

#include <cmath>

TColor DistinctSessionColor(std::uint64_t Session) {
  if (Session == 0) return clBlack;
  constexpr double kTurn = 0.6180339887498949;  // the golden ratio's fraction
  // Session numbers reach 2^64 only in theory; the fraction of a product that large loses every
  // digit in a double, so reduce the number first (the hues repeat after 2^32 sessions).
  const double hue = std::fmod(static_cast<double>(Session & 0xFFFFFFFFu) * kTurn, 1.0) * 6.0;
  // Three lightness steps, so that hues that come out close are also told apart by lightness.
  static constexpr double kValues[3] = {0.72, 0.55, 0.40};
  const double value = kValues[Session % 3];
  const double saturation = 0.9;
  const int sector = static_cast<int>(hue) % 6;
  const double f = hue - std::floor(hue);
  const double p = value * (1 - saturation), q = value * (1 - saturation * f), t = value * (1 - saturation * (1 - f));
  double r = 0, g = 0, b = 0;
  switch (sector) {
    case 0: r = value, g = t, b = p; break;
    case 1: r = q, g = value, b = p; break;
    case 2: r = p, g = value, b = t; break;
    case 3: r = p, g = q, b = value; break;
    case 4: r = t, g = p, b = value; break;
    default: r = value, g = p, b = q; break;
  }
  const auto byte = [](double c) { return static_cast<TColor>(std::lround(c * 255.0)) & 0xFF; };
  return byte(r) | (byte(g) << 8) | (byte(b) << 16);
}
