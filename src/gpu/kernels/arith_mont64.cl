// Arithmetic "mont64": Montgomery multiplication on 64-bit words with
// mul_hi on ulong, R = 2^64, for odd p < 2^62.
//
// The walk multiplies by a fixed w in Shoup's form instead: with
// w' = floor(w * 2^64 / p), q = floor(x * w' / 2^64) is floor(x*w/p) or one
// less, so x*w - q*p is in [0, 2p), computed modulo 2^64 (2p < 2^64), and
// one subtraction brings it below p: a high and two low products, against
// Montgomery's two high and two low ones.
//
// mont_mul(a, b) = a*b*R^-1 mod p, lazily reduced: inputs in [0, 2p) give an
// output in [0, 2p), because (a*b + m*p) / R < (4p^2 + R*p) / R < 2p for
// p < 2^62, so no sum overflows 64 bits. The low halves of a*b and m*p add
// up to 0 mod 2^64, so their carry is 1 exactly when the low half of a*b is
// not 0. mod_mul normalizes the result below p.
//
// On cards without a 64-bit multiplier (every NVIDIA card) each 64-bit
// product costs several 32-bit multiply-adds; the limb arithmetics below
// spell those out.

typedef ulong num;
typedef struct {
  ulong p, pneg;
  ulong r2;  // R^2 mod p
} modulus;

// -p^-1 mod 2^64 by Newton's iteration (3 bits correct for odd p to start).
ZK_FN modulus mod_make(ulong plo, ulong phi, ulong r2lo, ulong r2hi) {
  modulus m;
  m.p = plo;
  ulong inv = plo;
  for (int i = 0; i < 5; ++i) inv *= 2UL - plo * inv;
  m.pneg = ~inv + 1UL;
  m.r2 = r2lo;
  return m;
}

ZK_FN num num_make(ulong lo, ulong hi) { return lo; }
ZK_FN ulong num_lo(num x) { return x; }
ZK_FN ulong num_hi(num x) { return 0; }
ZK_FN int num_lt(num a, num b) { return a < b; }
ZK_FN int num_eq(num a, num b) { return a == b; }
ZK_FN uint num_low32(num x) { return (uint)x; }
ZK_FN num num_sub_wrap(num a, num b) { return a - b; }

ZK_FN num mod_mul(num a, num b, modulus m) {
  const ulong lo = a * b;
  const ulong hi = mul_hi(a, b);
  const ulong q = lo * m.pneg;
  const ulong r = hi + mul_hi(q, m.p) + (lo != 0 ? 1UL : 0UL);
  return r >= m.p ? r - m.p : r;
}

ZK_FN num mod_sub_from_p(num x, modulus m) { return m.p - x; }

// The walk's multiplier w (plain, below p) with w' = floor(w * 2^64 / p), by
// long division one bit at a time (once per work item): the remainder stays
// below p < 2^62, so doubling it never overflows.
#define ZK_OWN_FIXED 1
typedef struct {
  ulong w, wq;
} fixed;

ZK_FN fixed mod_fixed(num wForm, modulus m) {
  fixed f;
  f.w = mod_mul(wForm, 1UL, m);  // the plain value
  ulong rem = f.w, q = 0;
  for (int i = 0; i < 64; ++i) {
    rem <<= 1;
    q <<= 1;
    if (rem >= m.p) {
      rem -= m.p;
      q |= 1UL;
    }
  }
  f.wq = q;
  return f;
}

ZK_FN num mod_mul_fixed(num x, fixed f, modulus m) {
  const ulong r = x * f.w - mul_hi(x, f.wq) * m.p;
  return r >= m.p ? r - m.p : r;
}
