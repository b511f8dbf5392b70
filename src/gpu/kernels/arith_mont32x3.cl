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
//
// NVIDIA's OpenCL (__NV_CL_C_VERSION) compiles mod_mul, num_lt and
// num_sub_wrap as inline PTX with the card's carry flag, at the end of this
// file; every other device compiles the portable code, which the tests run.

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
#ifndef __NV_CL_C_VERSION
ZK_FN int num_lt(num a, num b) {
  return a.l2 != b.l2 ? a.l2 < b.l2 : a.l1 != b.l1 ? a.l1 < b.l1 : a.l0 < b.l0;
}
#endif
ZK_FN int num_eq(num a, num b) { return a.l0 == b.l0 && a.l1 == b.l1 && a.l2 == b.l2; }
ZK_FN uint num_low32(num x) { return x.l0; }
#ifndef __NV_CL_C_VERSION
ZK_FN num num_sub_wrap(num a, num b) {
  const ulong d0 = (ulong)a.l0 - b.l0;
  const ulong d1 = (ulong)a.l1 - b.l1 - (uint)(d0 >> 63);
  num r;
  r.l0 = (uint)d0;
  r.l1 = (uint)d1;
  r.l2 = a.l2 - b.l2 - (uint)(d1 >> 63);
  return r;
}
#endif

ZK_FN modulus mod_make(ulong plo, ulong phi, ulong r2lo, ulong r2hi) {
  modulus m;
  m.p = num_make(plo, phi);
  uint inv = m.p.l0;
  for (int i = 0; i < 4; ++i) inv *= 2u - m.p.l0 * inv;
  m.pinv = 0u - inv;
  m.r2 = num_make(r2lo, r2hi);
  return m;
}

#ifndef __NV_CL_C_VERSION
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
#endif

ZK_FN num mod_sub_from_p(num x, modulus m) {
  const ulong d0 = (ulong)m.p.l0 - x.l0;
  const ulong d1 = (ulong)m.p.l1 - x.l1 - (uint)(d0 >> 63);
  num r;
  r.l0 = (uint)d0;
  r.l1 = (uint)d1;
  r.l2 = m.p.l2 - x.l2 - (uint)(d1 >> 63);
  return r;
}

#ifdef __NV_CL_C_VERSION
// The same steps with carry chains, as in mont32x2. The products of the even
// limbs of a (or p), a0 and a2, form one chain, those of a1 another, a limb
// product's low half at its limb and its high half at the next (mad.lo.cc
// then madc.hi.cc of the same two words, which ptxas joins).
// Each chain ends in an addc into t4, the top limb of the step's total
// (below 2^129 before the shift), and its sum so far is at most that total,
// so no chain carries out of t4; in the first step, t = a*b0 < 2^128 needs
// t0..t3 only. The carry flag holds only within one asm statement, so the
// product is one; the operands are copied in first, so no output register
// can be an input's.

// t = (t0, t1, t2, t3, t4) + a*w for the shifted (t1, t2, t3, t4) of the
// step before.
#define ZK_MONT3_ADD(w)                      \
  "mad.lo.cc.u32 t0, a0, " w ", t1;\n\t"    \
  "madc.hi.cc.u32 t1, a0, " w ", t2;\n\t"   \
  "madc.lo.cc.u32 t2, a2, " w ", t3;\n\t"   \
  "madc.hi.cc.u32 t3, a2, " w ", t4;\n\t"   \
  "addc.u32 t4, 0, 0;\n\t"                  \
  "mad.lo.cc.u32 t1, a1, " w ", t1;\n\t"    \
  "madc.hi.cc.u32 t2, a1, " w ", t2;\n\t"   \
  "addc.cc.u32 t3, t3, 0;\n\t"              \
  "addc.u32 t4, t4, 0;\n\t"
// t += q*p, which clears t0: the step's result is (t1, t2, t3, t4).
#define ZK_MONT3_REDUCE                      \
  "mul.lo.u32 q, t0, pinv;\n\t"             \
  "mad.lo.cc.u32 t0, q, p0, t0;\n\t"        \
  "madc.hi.cc.u32 t1, q, p0, t1;\n\t"       \
  "madc.lo.cc.u32 t2, q, p2, t2;\n\t"       \
  "madc.hi.cc.u32 t3, q, p2, t3;\n\t"       \
  "addc.u32 t4, t4, 0;\n\t"                 \
  "mad.lo.cc.u32 t1, q, p1, t1;\n\t"        \
  "madc.hi.cc.u32 t2, q, p1, t2;\n\t"       \
  "addc.cc.u32 t3, t3, 0;\n\t"              \
  "addc.u32 t4, t4, 0;\n\t"

// t = (t1, t2, t3, t4) on entry and exit of a step, shifted down one limb as
// the step reads it.
ZK_FN num mod_mul(num a, num b, modulus m) {
  uint u0, u1, u2, d0, d1, d2, d3;
  asm("{\n\t"
      ".reg .u32 a0, a1, a2, b0, b1, b2, p0, p1, p2, pinv, q, t0, t1, t2, t3, t4;\n\t"
      "mov.u32 a0, %7;\n\t"
      "mov.u32 a1, %8;\n\t"
      "mov.u32 a2, %9;\n\t"
      "mov.u32 b0, %10;\n\t"
      "mov.u32 b1, %11;\n\t"
      "mov.u32 b2, %12;\n\t"
      "mov.u32 p0, %13;\n\t"
      "mov.u32 p1, %14;\n\t"
      "mov.u32 p2, %15;\n\t"
      "mov.u32 pinv, %16;\n\t"
      // i = 0: t = a*b0, below 2^128
      "mul.lo.u32 t0, a0, b0;\n\t"
      "mul.hi.u32 t1, a0, b0;\n\t"
      "mul.lo.u32 t2, a2, b0;\n\t"
      "mul.hi.u32 t3, a2, b0;\n\t"
      "mad.lo.cc.u32 t1, a1, b0, t1;\n\t"
      "madc.hi.cc.u32 t2, a1, b0, t2;\n\t"
      "addc.u32 t3, t3, 0;\n\t"
      "mov.u32 t4, 0;\n\t"
      ZK_MONT3_REDUCE
      ZK_MONT3_ADD("b1")
      ZK_MONT3_REDUCE
      ZK_MONT3_ADD("b2")
      ZK_MONT3_REDUCE
      // t < 2p; t - p, whose top limb is 0 where t >= p and all ones where
      // not (t - p >= -p > -2^96)
      "mov.u32 %0, t1;\n\t"
      "mov.u32 %1, t2;\n\t"
      "mov.u32 %2, t3;\n\t"
      "sub.cc.u32 %3, t1, p0;\n\t"
      "subc.cc.u32 %4, t2, p1;\n\t"
      "subc.cc.u32 %5, t3, p2;\n\t"
      "subc.u32 %6, t4, 0;\n\t"
      "}"
      : "=r"(u0), "=r"(u1), "=r"(u2), "=r"(d0), "=r"(d1), "=r"(d2), "=r"(d3)
      : "r"(a.l0), "r"(a.l1), "r"(a.l2), "r"(b.l0), "r"(b.l1), "r"(b.l2), "r"(m.p.l0),
        "r"(m.p.l1), "r"(m.p.l2), "r"(m.pinv));
  num r;
  r.l0 = d3 != 0 ? u0 : d0;
  r.l1 = d3 != 0 ? u1 : d1;
  r.l2 = d3 != 0 ? u2 : d2;
  return r;
}

// a < b where a - b borrows.
ZK_FN int num_lt(num a, num b) {
  uint borrow;
  asm("{\n\t"
      ".reg .u32 d;\n\t"
      "sub.cc.u32 d, %1, %4;\n\t"
      "subc.cc.u32 d, %2, %5;\n\t"
      "subc.cc.u32 d, %3, %6;\n\t"
      "subc.u32 %0, 0, 0;\n\t"
      "}"
      : "=r"(borrow)
      : "r"(a.l0), "r"(a.l1), "r"(a.l2), "r"(b.l0), "r"(b.l1), "r"(b.l2));
  return borrow != 0;
}

ZK_FN num num_sub_wrap(num a, num b) {
  num r;
  asm("{\n\t"
      ".reg .u32 d0, d1;\n\t"
      "sub.cc.u32 d0, %3, %6;\n\t"
      "subc.cc.u32 d1, %4, %7;\n\t"
      "subc.u32 %2, %5, %8;\n\t"
      "mov.u32 %0, d0;\n\t"
      "mov.u32 %1, d1;\n\t"
      "}"
      : "=r"(r.l0), "=r"(r.l1), "=r"(r.l2)
      : "r"(a.l0), "r"(a.l1), "r"(a.l2), "r"(b.l0), "r"(b.l1), "r"(b.l2));
  return r;
}
#endif
