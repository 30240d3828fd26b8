// Service curves of the HFSC scheduler in fixed point.
//
// A `ServiceCurve` is what a caller gives: two linear pieces, m1 bits per
// second for d milliseconds, then m2 bits per second. The scheduler works on
// the `ScaledCurve` form made once per class and curve (slopes in bytes per
// nanosecond scaled by 2^24, inverses in nanoseconds per byte scaled by 2^10)
// and on `AnchoredCurve`s, the same curve started at a point (x ns, y bytes).
// All arithmetic is unsigned 64-bit; kHfscInfinity (all ones) is an infinite
// time, and a time computed from it stays infinite instead of wrapping.
//
// Plain values and functions: no state, no threads.
#ifndef OSTGRAPHSVC_GRAPH_ELEMENTS_HFSC_HFSC_CURVE_H_
#define OSTGRAPHSVC_GRAPH_ELEMENTS_HFSC_HFSC_CURVE_H_

#include <cstdint>

inline constexpr uint64_t kHfscInfinity = ~uint64_t{0};

struct ServiceCurve {
  uint32_t m1 = 0;  // bits per second, first piece
  uint32_t d = 0;   // milliseconds, length of the first piece
  uint32_t m2 = 0;  // bits per second, second piece
  // m1 and m2 both 0: the class has no such curve.
  bool present() const { return m1 != 0 || m2 != 0; }
};

struct ScaledCurve {
  uint64_t slope1 = 0;
  uint64_t inverse1 = 0;
  uint64_t dx = 0;  // ns
  uint64_t dy = 0;  // bytes
  uint64_t slope2 = 0;
  uint64_t inverse2 = 0;
  bool convex() const { return slope1 <= slope2; }
};

struct AnchoredCurve {
  uint64_t x = 0;  // ns
  uint64_t y = 0;  // bytes
  uint64_t slope1 = 0;
  uint64_t inverse1 = 0;
  uint64_t dx = 0;
  uint64_t dy = 0;
  uint64_t slope2 = 0;
  uint64_t inverse2 = 0;
};

// Bytes covered in x nanoseconds at a scaled slope.
uint64_t hfsc_y_of(uint64_t x, uint64_t slope);
// Nanoseconds needed for y bytes at a scaled inverse; infinite stays infinite.
uint64_t hfsc_x_of(uint64_t y, uint64_t inverse);

ScaledCurve hfsc_scale_curve(const ServiceCurve& curve);
// `curve` started at (x, y).
AnchoredCurve hfsc_anchor_curve(const ScaledCurve& curve, uint64_t x, uint64_t y);

// Value of the anchored curve at time x.
uint64_t hfsc_curve_y_at(const AnchoredCurve& c, uint64_t x);
// Earliest time at which the anchored curve reaches y bytes.
uint64_t hfsc_curve_x_for(const AnchoredCurve& c, uint64_t y);
// Replaces `a` by the lower of `a` and the class curve `curve` started at
// (x, y), as a backlog period starts.
void hfsc_curve_lower(AnchoredCurve* a, const ScaledCurve& curve, uint64_t x, uint64_t y);

#endif  // OSTGRAPHSVC_GRAPH_ELEMENTS_HFSC_HFSC_CURVE_H_
