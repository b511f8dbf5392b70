// Arithmetic "mont32x2": Montgomery multiplication in two 32-bit limbs,
// R = 2^64, for every odd p < 2^64.
//
// Coarsely integrated operand scanning: for each limb b_i of b, t += a*b_i,
// then t += m*p with m = t_0 * (-p^-1) mod 2^32, which clears the low limb,
// and t is shifted down one limb. Every limb product is (ulong)x*y plus at
// most two limbs, below (2^32-1)^2 + 2(2^32-1) < 2^64: one wide 32-bit
// multiply-add on the cards that have it, no wasted partial product.
//
// Bounds: for a, b < p, t < 2p at the start of each step, so before its
// shift t < 2p + 2*(2^32-1)*p < 2^33*p < 2^97, which takes the fourth limb
// t3; after it t < 2^33*p / 2^32 = 2p again. The result is below 2p < 2^65:
// its third limb is 0 or 1, and one conditional subtraction leaves it below p.

typedef struct {
  uint l0, l1;
} num;
typedef struct {
  num p;
  uint pinv;  // -p^-1 mod 2^32
  num r2;     // R^2 mod p
} modulus;

ZK_FN num num_make(ulong lo, ulong hi) {
  num x;
  x.l0 = (uint)lo;
  x.l1 = (uint)(lo >> 32);
  return x;
}
ZK_FN ulong num_lo(num x) { return ((ulong)x.l1 << 32) | x.l0; }
ZK_FN ulong num_hi(num x) { return 0; }
ZK_FN int num_lt(num a, num b) { return a.l1 != b.l1 ? a.l1 < b.l1 : a.l0 < b.l0; }
ZK_FN int num_eq(num a, num b) { return a.l0 == b.l0 && a.l1 == b.l1; }
ZK_FN uint num_low32(num x) { return x.l0; }
ZK_FN num num_sub_wrap(num a, num b) {
  const ulong d0 = (ulong)a.l0 - b.l0;
  num r;
  r.l0 = (uint)d0;
  r.l1 = a.l1 - b.l1 - (uint)(d0 >> 63);
  return r;
}

ZK_FN modulus mod_make(ulong plo, ulong phi, ulong r2lo, ulong r2hi) {
  modulus m;
  m.p = num_make(plo, 0);
  uint inv = m.p.l0;
  for (int i = 0; i < 4; ++i) inv *= 2u - m.p.l0 * inv;
  m.pinv = 0u - inv;
  m.r2 = num_make(r2lo, 0);
  return m;
}

// t - p for t = (t0, t1, t2) with t < 2p.
ZK_FN num reduce_once2(uint t0, uint t1, uint t2, num p) {
  const int ge = t2 != 0 || t1 > p.l1 || (t1 == p.l1 && t0 >= p.l0);
  num r;
  if (ge) {
    const ulong d0 = (ulong)t0 - p.l0;
    const ulong d1 = (ulong)t1 - p.l1 - (uint)(d0 >> 63);
    r.l0 = (uint)d0;
    r.l1 = (uint)d1;
  } else {
    r.l0 = t0;
    r.l1 = t1;
  }
  return r;
}

ZK_FN num mod_mul(num a, num b, modulus m) {
  ulong v;
  uint t0, t1, t2, t3, q;
  // i = 0: t = a*b0, then the reduction.
  v = (ulong)a.l0 * b.l0;
  t0 = (uint)v;
  v = (ulong)a.l1 * b.l0 + (v >> 32);
  t1 = (uint)v;
  t2 = (uint)(v >> 32);
  q = t0 * m.pinv;
  v = (ulong)q * m.p.l0 + t0;
  v = (ulong)q * m.p.l1 + t1 + (v >> 32);
  t0 = (uint)v;
  v = (ulong)t2 + (v >> 32);
  t1 = (uint)v;
  t2 = (uint)(v >> 32);
  // i = 1
  v = (ulong)a.l0 * b.l1 + t0;
  t0 = (uint)v;
  v = (ulong)a.l1 * b.l1 + t1 + (v >> 32);
  t1 = (uint)v;
  v = (ulong)t2 + (v >> 32);
  t2 = (uint)v;
  t3 = (uint)(v >> 32);
  q = t0 * m.pinv;
  v = (ulong)q * m.p.l0 + t0;
  v = (ulong)q * m.p.l1 + t1 + (v >> 32);
  t0 = (uint)v;
  v = (ulong)t2 + (v >> 32);
  t1 = (uint)v;
  t2 = t3 + (uint)(v >> 32);
  return reduce_once2(t0, t1, t2, m.p);
}

ZK_FN num mod_sub_from_p(num x, modulus m) {
  const ulong d0 = (ulong)m.p.l0 - x.l0;
  num r;
  r.l0 = (uint)d0;
  r.l1 = m.p.l1 - x.l1 - (uint)(d0 >> 63);
  return r;
}
