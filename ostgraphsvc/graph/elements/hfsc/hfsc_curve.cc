#include "ostgraphsvc/graph/elements/hfsc/hfsc_curve.h"

namespace {

constexpr uint64_t kInverseScale = 8'192'000'000'000ULL;  // 10^9 * 2^10 * 8

uint64_t slope_of(uint32_t m) { return (uint64_t{m} << 21) / 1'000'000'000ULL; }
uint64_t inverse_of(uint32_t m) { return m == 0 ? kHfscInfinity : kInverseScale / m; }

// a + b where either being infinite (or the sum overflowing) gives infinity:
// a class that can never be served must not wrap to "now".
uint64_t add_time(uint64_t a, uint64_t b) {
  if (a == kHfscInfinity || b == kHfscInfinity) return kHfscInfinity;
  uint64_t sum = a + b;
  return sum < a ? kHfscInfinity : sum;
}

}  // namespace

uint64_t hfsc_y_of(uint64_t x, uint64_t slope) {
  return (x >> 24) * slope + (((x & 0xFFFFFF) * slope) >> 24);
}

uint64_t hfsc_x_of(uint64_t y, uint64_t inverse) {
  if (inverse == kHfscInfinity) return kHfscInfinity;
  return (y >> 10) * inverse + (((y & 0x3FF) * inverse) >> 10);
}

ScaledCurve hfsc_scale_curve(const ServiceCurve& curve) {
  ScaledCurve s;
  s.slope1 = slope_of(curve.m1);
  s.inverse1 = inverse_of(curve.m1);
  s.dx = uint64_t{curve.d} * 1'000'000'000ULL / 1000;
  s.dy = hfsc_y_of(s.dx, s.slope1);
  s.slope2 = slope_of(curve.m2);
  s.inverse2 = inverse_of(curve.m2);
  return s;
}

AnchoredCurve hfsc_anchor_curve(const ScaledCurve& curve, uint64_t x, uint64_t y) {
  AnchoredCurve a;
  a.x = x;
  a.y = y;
  a.slope1 = curve.slope1;
  a.inverse1 = curve.inverse1;
  a.dx = curve.dx;
  a.dy = curve.dy;
  a.slope2 = curve.slope2;
  a.inverse2 = curve.inverse2;
  return a;
}

uint64_t hfsc_curve_y_at(const AnchoredCurve& c, uint64_t x) {
  if (x <= c.x) return c.y;
  if (x <= c.x + c.dx) return c.y + hfsc_y_of(x - c.x, c.slope1);
  return c.y + c.dy + hfsc_y_of(x - c.x - c.dx, c.slope2);
}

uint64_t hfsc_curve_x_for(const AnchoredCurve& c, uint64_t y) {
  if (y < c.y) return c.x;
  if (y <= c.y + c.dy) {
    if (c.dy == 0) return c.x + c.dx;
    if (y == c.y) return c.x;
    return add_time(c.x, hfsc_x_of(y - c.y, c.inverse1));
  }
  return add_time(c.x + c.dx, hfsc_x_of(y - c.y - c.dy, c.inverse2));
}

void hfsc_curve_lower(AnchoredCurve* a, const ScaledCurve& curve, uint64_t x, uint64_t y) {
  if (curve.convex()) {
    if (hfsc_curve_y_at(*a, x) < y) return;
    a->x = x;
    a->y = y;
    return;
  }
  uint64_t y1 = hfsc_curve_y_at(*a, x);
  if (y1 <= y) return;
  uint64_t y2 = hfsc_curve_y_at(*a, x + curve.dx);
  if (y2 >= y + curve.dy) {
    a->x = x;
    a->y = y;
    a->dx = curve.dx;
    a->dy = curve.dy;
    return;
  }
  // The two cross within the first piece: follow the new curve's steep
  // piece until it meets the old one.
  uint64_t dx = ((y1 - y) << 24) / (curve.slope1 - curve.slope2);
  if (x < a->x + a->dx) dx += a->x + a->dx - x;
  a->x = x;
  a->y = y;
  a->dx = dx;
  a->dy = hfsc_y_of(dx, curve.slope1);
}
