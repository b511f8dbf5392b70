// Arithmetic "mont32x3": Montgomery multiplication in three 32-bit limbs,
// R = 2^96, for every odd p < 2^96 (the sieve's p stay below 2^94).
//
// The same operand scanning as mont32x2, one limb more: for each limb b_i
// of b, t += a*b_i, then t += m*p with m = t_0 * (-p^-1) mod 2^32, and t is
// shifted down one limb. Each limb product plus at most two limbs stays
// below 2^64.
//
// Bounds: for a, b < p, t < 2p at the start of each step; before its shift
// t < 2p + 2*(2^32-1)*p < 2^33*p < 2^129, which takes the fifth limb t4;
// after it t < 2p again. The result is below 2p < 2^97: its fourth limb is
// 0 or 1, and one conditional subtraction leaves it below p.

typedef struct {
  uint l0, l1, l2;
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
  x.l2 = (uint)hi;
  return x;
}
ZK_FN ulong num_lo(num x) { return ((ulong)x.l1 << 32) | x.l0; }
ZK_FN ulong num_hi(num x) { return x.l2; }
ZK_FN int num_lt(num a, num b) {
  return a.l2 != b.l2 ? a.l2 < b.l2 : a.l1 != b.l1 ? a.l1 < b.l1 : a.l0 < b.l0;
}
ZK_FN int num_eq(num a, num b) { return a.l0 == b.l0 && a.l1 == b.l1 && a.l2 == b.l2; }
ZK_FN uint num_low32(num x) { return x.l0; }
ZK_FN num num_sub_wrap(num a, num b) {
  const ulong d0 = (ulong)a.l0 - b.l0;
  const ulong d1 = (ulong)a.l1 - b.l1 - (uint)(d0 >> 63);
  num r;
  r.l0 = (uint)d0;
  r.l1 = (uint)d1;
  r.l2 = a.l2 - b.l2 - (uint)(d1 >> 63);
  return r;
}

ZK_FN modulus mod_make(ulong plo, ulong phi, ulong r2lo, ulong r2hi) {
  modulus m;
  m.p = num_make(plo, phi);
  uint inv = m.p.l0;
  for (int i = 0; i < 4; ++i) inv *= 2u - m.p.l0 * inv;
  m.pinv = 0u - inv;
  m.r2 = num_make(r2lo, r2hi);
  return m;
}

// The step for one limb w of b: t = (t + a*w + q*p) / 2^32.
#define MONT3_STEP(w)                                 \
  v = (ulong)a.l0 * (w) + t0;                         \
  t0 = (uint)v;                                       \
  v = (ulong)a.l1 * (w) + t1 + (v >> 32);             \
  t1 = (uint)v;                                       \
  v = (ulong)a.l2 * (w) + t2 + (v >> 32);             \
  t2 = (uint)v;                                       \
  v = (ulong)t3 + (v >> 32);                          \
  t3 = (uint)v;                                       \
  t4 = (uint)(v >> 32);                               \
  q = t0 * m.pinv;                                    \
  v = (ulong)q * m.p.l0 + t0;                         \
  v = (ulong)q * m.p.l1 + t1 + (v >> 32);             \
  t0 = (uint)v;                                       \
  v = (ulong)q * m.p.l2 + t2 + (v >> 32);             \
  t1 = (uint)v;                                       \
  v = (ulong)t3 + (v >> 32);                          \
  t2 = (uint)v;                                       \
  t3 = t4 + (uint)(v >> 32);

ZK_FN num mod_mul(num a, num b, modulus m) {
  ulong v;
  uint t0 = 0, t1 = 0, t2 = 0, t3 = 0, t4, q;
  MONT3_STEP(b.l0)
  MONT3_STEP(b.l1)
  MONT3_STEP(b.l2)
  const num p = m.p;
  const int ge = t3 != 0 || t2 > p.l2 || (t2 == p.l2 && (t1 > p.l1 || (t1 == p.l1 && t0 >= p.l0)));
  num r;
  if (ge) {
    const ulong d0 = (ulong)t0 - p.l0;
    const ulong d1 = (ulong)t1 - p.l1 - (uint)(d0 >> 63);
    const ulong d2 = (ulong)t2 - p.l2 - (uint)(d1 >> 63);
    r.l0 = (uint)d0;
    r.l1 = (uint)d1;
    r.l2 = (uint)d2;
  } else {
    r.l0 = t0;
    r.l1 = t1;
    r.l2 = t2;
  }
  return r;
}

ZK_FN num mod_sub_from_p(num x, modulus m) {
  const ulong d0 = (ulong)m.p.l0 - x.l0;
  const ulong d1 = (ulong)m.p.l1 - x.l1 - (uint)(d0 >> 63);
  num r;
  r.l0 = (uint)d0;
  r.l1 = (uint)d1;
  r.l2 = m.p.l2 - x.l2 - (uint)(d1 >> 63);
  return r;
}
