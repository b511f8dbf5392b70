// The sieve kernels in OpenCL C (1.2): 64-bit Montgomery arithmetic with
// mul_hi on ulong, R = 2^64, for odd moduli p < 2^61.
//
// mont_mul(a, b) = a*b*R^-1 mod p, lazily reduced: inputs in [0, 2p) give an
// output in [0, 2p), because (a*b + m*p) / R < (4p^2 + R*p) / R < 2p for
// p < 2^62, so no sum overflows 64 bits. The low halves of a*b and m*p add
// up to 0 mod 2^64, so their carry is 1 exactly when the low half of a*b is
// not 0.
//
// Multiplying a plain residue x by the Montgomery form of w (w*R mod p)
// gives the plain residue x*w: the walks keep their values plain, so that
// they compare with b Max directly, at one reduction per step.
//
// Every hit is confirmed by the host with exact arithmetic before use.

inline ulong mont_mul(ulong a, ulong b, ulong p, ulong pneg) {
  const ulong lo = a * b;
  const ulong hi = mul_hi(a, b);
  const ulong m = lo * pneg;
  return hi + mul_hi(m, p) + (lo != 0 ? 1UL : 0UL);
}

inline ulong mont_norm(ulong a, ulong p) { return a >= p ? a - p : a; }

// x^e for x in Montgomery form; one = R mod p.
inline ulong mont_pow(ulong x, ulong e, ulong one, ulong p, ulong pneg) {
  ulong r = one;
  for (int bit = 63 - (int)clz(e | 1UL); bit >= 0; --bit) {
    r = mont_mul(r, r, p, pneg);
    if ((e >> bit) & 1UL) r = mont_mul(r, x, p, pneg);
  }
  return e == 0 ? one : r;
}

// -p^-1 mod 2^64 by Newton's iteration (3 bits correct for odd p to start).
inline ulong neg_inverse(ulong p) {
  ulong inv = p;
  for (int i = 0; i < 5; ++i) inv *= 2UL - p * inv;
  return ~inv + 1UL;
}

// a0 for p = k*2N + 1: a = g^k for g = 2, 3, 5, 7, 9, ... until a^N != 1.
// kind: 0 composite (a^N neither 1 nor -1, or every g tried gave 1),
// 2 found (a0 plain in a0Out). r2 = R^2 mod p, from the host.
__kernel void wide_a0(__global const ulong* p, __global const ulong* k,
                      __global const ulong* r2, const int ln, const int tries,
                      __global ulong* a0Out, __global uchar* kind, const uint count) {
  const uint i = get_global_id(0);
  if (i >= count) return;
  const ulong q = p[i];
  const ulong pneg = neg_inverse(q);
  const ulong one = mont_norm(mont_mul(r2[i], 1UL, q, pneg), q);  // R mod p
  const ulong minusOne = q - one;
  kind[i] = 0;
  a0Out[i] = 0;
  for (int t = 0; t < tries; ++t) {
    const ulong g = t == 0 ? 2UL : (ulong)(2 * t + 1);
    const ulong gm = mont_norm(mont_mul(g % q, r2[i], q, pneg), q);
    const ulong a = mont_pow(gm, k[i], one, q, pneg);
    ulong s = a;
    for (int j = 0; j < ln; ++j) s = mont_mul(s, s, q, pneg);
    s = mont_norm(s, q);
    if (s == one) continue;
    if (s != minusOne) return;
    a0Out[i] = mont_norm(mont_mul(a, 1UL, q, pneg), q);
    kind[i] = 2;
    return;
  }
}

// The walk over the odd powers x_j = a0^j of one p, cut into chunks of
// `steps` exponents j, j+2, ..., one chunk per work item. With `pairs` the
// walk covers j < N and offers x_j and p - x_j (= a0^(j+N)); without, it
// covers j < 2N and offers x_j alone (the walk of N below 32). A value at
// most bMax is a hit: (p's index, j * 2 (+ 1 for p - x_j), the value)
// appended at the next slot of hits; the count goes on past the capacity so that the host
// can repeat the launch with room enough.
__kernel void wide_walk(__global const ulong* p, __global const ulong* a0,
                        __global const ulong* r2, __global const uchar* kind,
                        const ulong walkEnd, const ulong steps, const uint chunks,
                        const ulong bMax, const int pairs, __global uint4* hits,
                        volatile __global uint* hitCount, const uint capacity,
                        const uint count) {
  const uint gid = get_global_id(0);
  const uint i = gid / chunks;
  if (i >= count || kind[i] != 2) return;
  const ulong c = gid % chunks;
  ulong j = 1 + 2 * steps * c;
  if (j >= walkEnd) return;
  ulong jEnd = j + 2 * steps;
  if (jEnd > walkEnd) jEnd = walkEnd;
  const ulong q = p[i];
  const ulong pneg = neg_inverse(q);
  const ulong a0m = mont_norm(mont_mul(a0[i], r2[i], q, pneg), q);  // a0*R
  const ulong one = mont_norm(mont_mul(r2[i], 1UL, q, pneg), q);
  const ulong a2m = mont_norm(mont_mul(a0m, a0m, q, pneg), q);      // a0^2*R
  ulong x = mont_norm(mont_mul(mont_pow(a0m, j, one, q, pneg), 1UL, q, pneg), q);
  for (; j < jEnd; j += 2) {
    if (x <= bMax) {
      const uint slot = atomic_inc(hitCount);
      if (slot < capacity) hits[slot] = (uint4)(i, (uint)(j << 1), (uint)x, 0);
    }
    if (pairs && q - x <= bMax) {
      const uint slot = atomic_inc(hitCount);
      if (slot < capacity) hits[slot] = (uint4)(i, (uint)((j << 1) | 1UL), (uint)(q - x), 0);
    }
    x = mont_norm(mont_mul(x, a2m, q, pneg), q);
  }
}

// The squaring chains of the normal mode: one work item per (p, base). The
// plain base goes in as if it were a Montgomery form; ln squarings give
// b^N * R^(1-N), which is target[p] (from the host) exactly when b^N == -1.
// Bases are below 2^31, so b*b < R*p keeps the first product in range.
__kernel void normal_chain(__global const ulong* p, __global const ulong* target,
                           __global const int* cand, const uint nCand, const int ln,
                           __global uint2* hits, volatile __global uint* hitCount,
                           const uint capacity, const uint count) {
  const uint gid = get_global_id(0);
  const uint i = gid / nCand;
  if (i >= count) return;
  const uint b = gid % nCand;
  const ulong q = p[i];
  const ulong pneg = neg_inverse(q);
  ulong x = (ulong)(uint)cand[b];
  for (int s = 0; s < ln; ++s) x = mont_mul(x, x, q, pneg);
  if (mont_norm(x, q) == target[i]) {
    const uint slot = atomic_inc(hitCount);
    if (slot < capacity) hits[slot] = (uint2)(i, b);
  }
}
