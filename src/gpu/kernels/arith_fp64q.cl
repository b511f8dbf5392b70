// Arithmetic "fp64q": the quotient of a*b by p from a double-precision
// product, the remainder in 64-bit integers, for odd p < 2^50. Residues are
// plain (their own form). Meant for cards whose double-precision pipe runs
// at the integer pipe's rate, beside it.
//
// Bounds: a, b < p < 2^50 are exact doubles. Q = a*b/p < 2^50; the computed
// (double)a * (double)b * (1/p) carries three roundings of relative error at
// most 2^-53 each, so it is within Q * 3.01 * 2^-53 < 3/8 of Q, and its
// truncation q is floor(Q) - 1, floor(Q) or floor(Q) + 1. The remainder
// a*b - q*p, computed modulo 2^64, is then in [-p, 2p) and below 2^51 in
// size, read as a signed word, and one correction by p brings it into [0, p).

#define ZK_PLAIN_FORM 1

typedef ulong num;
typedef struct {
  ulong p;
  double inv;
} modulus;

ZK_FN modulus mod_make(ulong plo, ulong phi, ulong r2lo, ulong r2hi) {
  modulus m;
  m.p = plo;
  m.inv = 1.0 / (double)plo;
  return m;
}

ZK_FN num num_make(ulong lo, ulong hi) { return lo; }
ZK_FN ulong num_lo(num x) { return x; }
ZK_FN ulong num_hi(num x) { return 0; }
ZK_FN int num_lt(num a, num b) { return a < b; }
ZK_FN int num_eq(num a, num b) { return a == b; }
ZK_FN uint num_low32(num x) { return (uint)x; }

ZK_FN num mod_mul(num a, num b, modulus m) {
  const ulong q = (ulong)((double)a * (double)b * m.inv);
  const long r = (long)(a * b - q * m.p);
  return r < 0 ? (ulong)(r + (long)m.p) : (ulong)r >= m.p ? (ulong)r - m.p : (ulong)r;
}

ZK_FN num mod_sub_from_p(num x, modulus m) { return m.p - x; }

// The walk's multiplier: its form, by which a plain value multiplies to a
// plain product.
typedef num fixed;
ZK_FN fixed mod_fixed(num w, modulus m) { return w; }
ZK_FN num mod_mul_fixed(num x, fixed w, modulus m) { return mod_mul(x, w, m); }
