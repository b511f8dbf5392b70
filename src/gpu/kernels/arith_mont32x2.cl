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
//
// NVIDIA's OpenCL (__NV_CL_C_VERSION) compiles mod_mul, num_lt and
// num_sub_wrap as inline PTX with the card's carry flag, at the end of this
// file; every other device compiles the portable code, which the tests run.

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
#ifndef __NV_CL_C_VERSION
ZK_FN int num_lt(num a, num b) { return a.l1 != b.l1 ? a.l1 < b.l1 : a.l0 < b.l0; }
#endif
ZK_FN int num_eq(num a, num b) { return a.l0 == b.l0 && a.l1 == b.l1; }
ZK_FN uint num_low32(num x) { return x.l0; }
#ifndef __NV_CL_C_VERSION
ZK_FN num num_sub_wrap(num a, num b) {
  const ulong d0 = (ulong)a.l0 - b.l0;
  num r;
  r.l0 = (uint)d0;
  r.l1 = a.l1 - b.l1 - (uint)(d0 >> 63);
  return r;
}
#endif

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

#ifndef __NV_CL_C_VERSION
ZK_FN num mod_mul(num a, num b, modulus m) {
  uint t0 = 0, t1 = 0, t2 = 0;
  // One step per limb bi of b: t += a*bi, then the reduction with
  // q = t0 * pinv, t = (t + q*p) / 2^32.
  for (int i = 0; i < 2; ++i) {
    const uint bi = i == 0 ? b.l0 : b.l1;
    ulong v = (ulong)a.l0 * bi + t0;
    t0 = (uint)v;
    v = (ulong)a.l1 * bi + t1 + (v >> 32);
    t1 = (uint)v;
    v = (ulong)t2 + (v >> 32);
    t2 = (uint)v;
    const uint t3 = (uint)(v >> 32);
    const uint q = t0 * m.pinv;
    v = (ulong)q * m.p.l0 + t0;
    v = (ulong)q * m.p.l1 + t1 + (v >> 32);
    t0 = (uint)v;
    v = (ulong)t2 + (v >> 32);
    t1 = (uint)v;
    t2 = t3 + (uint)(v >> 32);
  }
  return reduce_once2(t0, t1, t2, m.p);
}
#endif

ZK_FN num mod_sub_from_p(num x, modulus m) {
  const ulong d0 = (ulong)m.p.l0 - x.l0;
  num r;
  r.l0 = (uint)d0;
  r.l1 = m.p.l1 - x.l1 - (uint)(d0 >> 63);
  return r;
}

#ifdef __NV_CL_C_VERSION
// The same steps with carry chains. The products of the even limbs of a
// (or p) and those of the odd limbs each form one chain, a limb product's
// low half at its limb and its high half at the next (mad.lo.cc then
// madc.hi.cc of the same two words, which ptxas joins: 27 instructions a
// product for sm_90, against 42 with the low and the high halves in separate
// chains).
// Each chain ends in an addc into the limb above; no chain carries out of its
// top limb, because its sum so far is at most the step's total and that fits
// the limbs it reaches: before the shift t < 2^97, limbs t0..t3; a*w's first
// chain stops at t2, its sum t + a0*w being below 2^65 + 2^64 < 2^96. The
// carry flag holds only within one asm statement, so the product is one; the
// operands are copied in first, so no output register can be an input's.

// t = (t0, t1, t2) + a*w for the shifted (t1, t2, t3) of the step before.
#define ZK_MONT2_ADD(w)                      \
  "mad.lo.cc.u32 t0, a0, " w ", t1;\n\t"    \
  "madc.hi.cc.u32 t1, a0, " w ", t2;\n\t"   \
  "addc.u32 t2, t3, 0;\n\t"                 \
  "mad.lo.cc.u32 t1, a1, " w ", t1;\n\t"    \
  "madc.hi.cc.u32 t2, a1, " w ", t2;\n\t"   \
  "addc.u32 t3, 0, 0;\n\t"
// t += q*p, which clears t0: the step's result is (t1, t2, t3).
#define ZK_MONT2_REDUCE                      \
  "mul.lo.u32 q, t0, pinv;\n\t"             \
  "mad.lo.cc.u32 t0, q, p0, t0;\n\t"        \
  "madc.hi.cc.u32 t1, q, p0, t1;\n\t"       \
  "addc.cc.u32 t2, t2, 0;\n\t"              \
  "addc.u32 t3, t3, 0;\n\t"                 \
  "mad.lo.cc.u32 t1, q, p1, t1;\n\t"        \
  "madc.hi.cc.u32 t2, q, p1, t2;\n\t"       \
  "addc.u32 t3, t3, 0;\n\t"

// t = (t1, t2, t3) on entry and exit of a step, shifted down one limb as
// the step reads it.
ZK_FN num mod_mul(num a, num b, modulus m) {
  uint u0, u1, d0, d1, d2;
  asm("{\n\t"
      ".reg .u32 a0, a1, b0, b1, p0, p1, pinv, q, t0, t1, t2, t3;\n\t"
      "mov.u32 a0, %5;\n\t"
      "mov.u32 a1, %6;\n\t"
      "mov.u32 b0, %7;\n\t"
      "mov.u32 b1, %8;\n\t"
      "mov.u32 p0, %9;\n\t"
      "mov.u32 p1, %10;\n\t"
      "mov.u32 pinv, %11;\n\t"
      // i = 0: t = a*b0, below 2^96
      "mul.lo.u32 t0, a0, b0;\n\t"
      "mul.hi.u32 t1, a0, b0;\n\t"
      "mad.lo.cc.u32 t1, a1, b0, t1;\n\t"
      "madc.hi.u32 t2, a1, b0, 0;\n\t"
      "mov.u32 t3, 0;\n\t"
      ZK_MONT2_REDUCE
      ZK_MONT2_ADD("b1")
      ZK_MONT2_REDUCE
      // t < 2p; t - p, whose top limb is 0 where t >= p and all ones where
      // not (t - p >= -p > -2^64)
      "mov.u32 %0, t1;\n\t"
      "mov.u32 %1, t2;\n\t"
      "sub.cc.u32 %2, t1, p0;\n\t"
      "subc.cc.u32 %3, t2, p1;\n\t"
      "subc.u32 %4, t3, 0;\n\t"
      "}"
      : "=r"(u0), "=r"(u1), "=r"(d0), "=r"(d1), "=r"(d2)
      : "r"(a.l0), "r"(a.l1), "r"(b.l0), "r"(b.l1), "r"(m.p.l0), "r"(m.p.l1), "r"(m.pinv));
  num r;
  r.l0 = d2 != 0 ? u0 : d0;
  r.l1 = d2 != 0 ? u1 : d1;
  return r;
}

// a < b where a - b borrows.
ZK_FN int num_lt(num a, num b) {
  uint borrow;
  asm("{\n\t"
      ".reg .u32 d;\n\t"
      "sub.cc.u32 d, %1, %3;\n\t"
      "subc.cc.u32 d, %2, %4;\n\t"
      "subc.u32 %0, 0, 0;\n\t"
      "}"
      : "=r"(borrow)
      : "r"(a.l0), "r"(a.l1), "r"(b.l0), "r"(b.l1));
  return borrow != 0;
}

ZK_FN num num_sub_wrap(num a, num b) {
  num r;
  asm("{\n\t"
      ".reg .u32 d0;\n\t"
      "sub.cc.u32 d0, %2, %4;\n\t"
      "subc.u32 %1, %3, %5;\n\t"
      "mov.u32 %0, d0;\n\t"
      "}"
      : "=r"(r.l0), "=r"(r.l1)
      : "r"(a.l0), "r"(a.l1), "r"(b.l0), "r"(b.l1));
  return r;
}
#endif
