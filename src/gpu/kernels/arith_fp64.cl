// Arithmetic "fp64": residues as doubles, the product reduced entirely in
// double precision, for odd p < 2^50. Residues are plain (their own form).
// Meant for cards whose double-precision pipe runs at the integer pipe's
// rate (data-centre cards); elsewhere the calibration passes it over.
//
// For a, b < p < 2^50 (exact doubles): h = fl(a*b) and l = fma(a, b, -h)
// give a*b = h + l exactly (an error-free product: l is the rounding error
// of h, an integer of magnitude at most half an ulp of h < 2^100, so below
// 2^47). The quotient q = fma(h, 1/p, 2^52) - 2^52 is the nearest integer
// to a value within Q * 2^-52 < 1/4 of Q = a*b/p (two roundings of relative
// error 2^-53, Q < 2^50), so |q - Q| < 3/4 and the remainder a*b - q*p lies
// in (-3p/4, 3p/4). It is formed exactly: h - q*p is an integer below 2^51
// in size, which the fused multiply-add delivers unrounded, and adding l
// gives a*b - q*p, again an integer below 2^50 in size. One correction by p
// brings it into [0, p). No integer instruction takes part.
//
// The same holds for a in (-p, p): the walk keeps its values there, in
// (-3p/4, 3p/4) after each step, and skips the correction; x stands for
// x mod p, so it is a hit exactly when |x| <= bMax or |x| >= p - bMax. The
// rounding constant is 1.5 * 2^52, so that the quotient's sum stays within
// [2^52, 2^53), where the doubles are the integers, for quotients of either
// sign.

#define ZK_PLAIN_FORM 1
#define ZK_OWN_FIXED 1
#define ZK_OWN_WINDOW 1

typedef double num;
typedef struct {
  double p, inv;
} modulus;

ZK_FN modulus mod_make(ulong plo, ulong phi, ulong r2lo, ulong r2hi) {
  modulus m;
  m.p = (double)plo;
  m.inv = 1.0 / m.p;
  return m;
}

ZK_FN num num_make(ulong lo, ulong hi) { return (double)lo; }
ZK_FN ulong num_lo(num x) { return (ulong)x; }
ZK_FN ulong num_hi(num x) { return 0; }
ZK_FN int num_lt(num a, num b) { return a < b; }
ZK_FN int num_eq(num a, num b) { return a == b; }
ZK_FN uint num_low32(num x) { return (uint)x; }

ZK_FN num mod_mul(num a, num b, modulus m) {
  const double magic = 6755399441055744.0;  // 1.5 * 2^52: adding it rounds to an integer
  const double h = a * b;
  const double l = fma(a, b, -h);
  const double q = fma(h, m.inv, magic) - magic;
  const double r = fma(-q, m.p, h) + l;
  return r < 0 ? r + m.p : r >= m.p ? r - m.p : r;
}

ZK_FN num mod_sub_from_p(num x, modulus m) { return m.p - x; }

// The walk's multiplier is the plain value itself; its products stay in
// (-p, p), uncorrected, and walk_norm brings one into [0, p).
typedef num fixed;
ZK_FN fixed mod_fixed(num w, modulus m) { return w; }
ZK_FN num mod_mul_fixed(num x, fixed w, modulus m) {
  const double magic = 6755399441055744.0;
  const double h = x * w;
  const double l = fma(x, w, -h);
  const double q = fma(h, m.inv, magic) - magic;
  return fma(-q, m.p, h) + l;
}
ZK_FN num walk_norm(num x, modulus m) { return x < 0 ? x + m.p : x; }

// The walk values with no hit, above <= x mod p < low (with above = bMax + 1
// and low = p - bMax): |x| within half that span of its middle (exact in
// doubles: integers and halves below 2^51). Values on the edges are left to
// the exact test.
typedef struct {
  double middle, radius;
} window;
ZK_FN window window_make(num above, num low) {
  window w;
  w.middle = (above + low) * 0.5;
  w.radius = above < low ? (low - above) * 0.5 : 0.0;
  return w;
}
ZK_FN int window_holds(num x, window w) { return fabs(fabs(x) - w.middle) < w.radius; }
