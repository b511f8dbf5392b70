// The sieve kernels in OpenCL C (1.2), written once over an arithmetic: the
// program is this file after one of the arith_*.cl files and walk_defaults.cl
// (which supplies the walk's functions an arithmetic leaves out); together
// they define
//
//   num, modulus         a residue and p with its constants
//   mod_make(p, r2)      p and R^2 mod p as two words each (R^2 from the
//                        host; unused by an arithmetic without Montgomery form)
//   num_make(lo, hi), num_lo, num_hi, num_lt, num_eq, num_low32
//   walk_norm(x, m)      a value of mod_mul_fixed brought below p (an
//                        arithmetic may keep the walk's values elsewhere)
//   window, window_make(above, low), window_holds(x, w)
//                        whether above <= x < low for a walk value x (false
//                        may be said of values on the edges; the walk then
//                        checks them)
//   mod_mul(a, b, m)     a*b in the arithmetic's form, below p, for a, b < p:
//                        a product of two forms is a form, a plain value
//                        times a form is plain
//   mod_sub_from_p(x, m) p - x
//   fixed, mod_fixed(w, m), mod_mul_fixed(x, f, m)
//                        the walk's multiplication of a plain x by a fixed w
//                        given in the form: plain x*w below p
//   ZK_PLAIN_FORM        defined where the form is the plain value
//
// ZK_FN marks the arithmetic's functions (inline here; the instruction count
// of bench/gpu-step-count.sh compiles the same files as device functions).
//
// Every hit is confirmed by the host with exact arithmetic before use. A
// card can still lose a hit (a miscompiled arithmetic, a bit flipped by an
// overheated card): the kernels check their own results, the walk its end,
// the chains a value the host recomputes. ZK_UNCHECKED, defined by an
// arithmetic, leaves the checks out (to time what they cost).

#ifdef ZK_PLAIN_FORM
ZK_FN num to_form(num x, modulus m) { return x; }
ZK_FN num from_form(num x, modulus m) { return x; }
ZK_FN num form_one(modulus m) { return num_make(1, 0); }
#else
ZK_FN num to_form(num x, modulus m) { return mod_mul(x, m.r2, m); }
ZK_FN num from_form(num x, modulus m) { return mod_mul(x, num_make(1, 0), m); }
ZK_FN num form_one(modulus m) { return from_form(m.r2, m); }  // R mod p
#endif

// x^e for x in the form; 1 in the form for e = 0.
ZK_FN num form_pow(num x, ulong e, modulus m) {
  num r = form_one(m);
  if (e == 0) return r;
  for (int bit = 63 - (int)clz(e); bit >= 0; --bit) {
    r = mod_mul(r, r, m);
    if ((e >> bit) & 1UL) r = mod_mul(r, x, m);
  }
  return r;
}

// A small value reduced below p (p may be smaller than it).
ZK_FN num small_mod(ulong v, ulong2 p) {
  return num_make(p.y == 0 && v >= p.x ? v % p.x : v, 0);
}

// a0 for p = k*2N + 1: a = g^k for g = 2, 3, 5, 7, 9, ... until a^N != 1.
// kind: 0 composite (a^N neither 1 nor -1, or every g tried gave 1),
// 2 found (a0 plain in a0Out).
__kernel void wide_a0(__global const ulong2* p, __global const ulong* k,
                      __global const ulong2* r2, const int ln, const int tries,
                      __global ulong2* a0Out, __global uchar* kind, const uint count) {
  const uint i = get_global_id(0);
  if (i >= count) return;
  const ulong2 q = p[i];
  const modulus m = mod_make(q.x, q.y, r2[i].x, r2[i].y);
  const num one = form_one(m);
  const num minusOne = mod_sub_from_p(one, m);
  kind[i] = 0;
  a0Out[i] = (ulong2)(0, 0);
  for (int t = 0; t < tries; ++t) {
    const ulong g = t == 0 ? 2UL : (ulong)(2 * t + 1);
    const num a = form_pow(to_form(small_mod(g, q), m), k[i], m);
    num s = a;
    for (int j = 0; j < ln; ++j) s = mod_mul(s, s, m);
    if (num_eq(s, one)) continue;
    if (!num_eq(s, minusOne)) return;
    const num plain = from_form(a, m);
    a0Out[i] = (ulong2)(num_lo(plain), num_hi(plain));
    kind[i] = 2;
    return;
  }
}

// The walk over the odd powers x_j = a0^j of one p, cut into chunks of
// `steps` exponents j, j+2, ..., one chunk per work item. With `pairs` the
// walk covers j < N and offers x_j and p - x_j (= a0^(j+N)); without, it
// covers j < 2N and offers x_j alone (the walk of N below 32). A value at
// most bMax is a hit: (p's index, j * 2 (+ 1 for p - x_j), the value)
// appended at the next slot of hits; the count goes on past the capacity so
// that the host can repeat the launch with room enough. The walk keeps x
// plain, one multiplication by the fixed a0^2 per step.
//
// A step gone wrong anywhere in a chunk carries its error to the chunk's
// end, where x must be a0^j for the j it stopped at: the value the next
// chunk starts from, which that chunk computes anew by an exponentiation.
// So each chunk stores the value it starts from (links[gid]) and the one it
// ends on (links[items + gid], items = count * chunks) for wide_check to
// compare; the last chunk of a p computes its own. A chunk that ends
// elsewhere counts itself in failed[0] and stores p's index at the next of
// the `failedCapacity` slots after it.
__kernel void wide_walk(__global const ulong2* p, __global const ulong2* a0,
                        __global const ulong2* r2, __global const uchar* kind,
                        const ulong walkEnd, const ulong steps, const uint chunks,
                        const uint bMax, const int pairs, __global uint4* hits,
                        volatile __global uint* hitCount, const uint capacity,
                        const uint count, volatile __global uint* failed,
                        const uint failedCapacity, __global ulong2* links) {
  const uint gid = get_global_id(0);
  const uint i = gid / chunks;
  if (i >= count || kind[i] != 2) return;
  const ulong c = gid % chunks;
  ulong j = 1 + 2 * steps * c;
  if (j >= walkEnd) return;
  ulong jEnd = j + 2 * steps;
  const int last = jEnd >= walkEnd;  // no chunk of this p after it
  if (jEnd > walkEnd) jEnd = walkEnd;
  const ulong2 q = p[i];
  const modulus m = mod_make(q.x, q.y, r2[i].x, r2[i].y);
  const num a0m = to_form(num_make(a0[i].x, a0[i].y), m);
  const fixed step = mod_fixed(mod_mul(a0m, a0m, m), m);  // a0^2
  // x <= bMax, and p - x <= bMax (x >= p - bMax, every x for p <= bMax),
  // as comparisons with fixed bounds; a value between them (all but a few)
  // is told by one test.
  const num above = num_make((ulong)bMax + 1, 0);
  const num low = q.y == 0 && q.x <= bMax ? num_make(0, 0) : mod_sub_from_p(num_make(bMax, 0), m);
  const window between = window_make(above, low);
  num x = from_form(form_pow(a0m, j, m), m);
#ifndef ZK_UNCHECKED
  links[gid] = (ulong2)(num_lo(x), num_hi(x));
#endif
  for (; j < jEnd; j += 2) {
    if (!window_holds(x, between)) {
      const num xn = walk_norm(x, m);
      if (num_lt(xn, above)) {
        const uint slot = atomic_inc(hitCount);
        if (slot < capacity) hits[slot] = (uint4)(i, (uint)(j << 1), num_low32(xn), 0);
      }
      if (pairs && !num_lt(xn, low)) {
        const uint slot = atomic_inc(hitCount);
        if (slot < capacity) {
          hits[slot] = (uint4)(i, (uint)((j << 1) | 1UL), num_low32(mod_sub_from_p(xn, m)), 0);
        }
      }
    }
    x = mod_mul_fixed(x, step, m);
  }
#ifndef ZK_UNCHECKED
  x = walk_norm(x, m);
  if (!last) {
    links[count * chunks + gid] = (ulong2)(num_lo(x), num_hi(x));
  } else if (!num_eq(x, from_form(form_pow(a0m, j, m), m))) {
    const uint slot = atomic_inc(failed);
    if (slot < failedCapacity) failed[1 + slot] = i;
  }
#endif
}

// After wide_walk: each chunk but a p's last must have ended on the value
// the next one started from.
__kernel void wide_check(__global const uchar* kind, const ulong walkEnd, const ulong steps,
                         const uint chunks, const uint count, volatile __global uint* failed,
                         const uint failedCapacity, __global const ulong2* links) {
  const uint gid = get_global_id(0);
  const uint i = gid / chunks;
  if (i >= count || kind[i] != 2) return;
  const ulong c = gid % chunks;
  if (1 + 2 * steps * (c + 1) >= walkEnd) return;
  const ulong2 end = links[count * chunks + gid], next = links[gid + 1];
  if (end.x != next.x || end.y != next.y) {
    const uint slot = atomic_inc(failed);
    if (slot < failedCapacity) failed[1 + slot] = i;
  }
}

// The squaring chains of the normal mode: one work item per (p, base). The
// base (below 2^31) goes into the form; ln squarings give b^N in the form,
// which is the form of -1 exactly when b^N == -1 (mod p). Each chain XORs
// its end (below p, so one value for each b^N), folded to 32 bits, into the
// check value of its p and group (position mod `groups`, a power of two),
// which the host recomputes for a sample (gpu/ChainCheck.h): no
// multiplication more, one atomic per chain.
__kernel void normal_chain(__global const ulong2* p, __global const ulong2* r2,
                           __global const int* cand, const uint nCand, const int ln,
                           __global uint2* hits, volatile __global uint* hitCount,
                           const uint capacity, const uint count,
                           volatile __global uint* check, const uint groups) {
  const uint gid = get_global_id(0);
  const uint i = gid / nCand;
  if (i >= count) return;
  const uint b = gid % nCand;
  const ulong2 q = p[i];
  const modulus m = mod_make(q.x, q.y, r2[i].x, r2[i].y);
  num x = to_form(small_mod((ulong)(uint)cand[b], q), m);
  for (int s = 0; s < ln; ++s) x = mod_mul(x, x, m);
  if (num_eq(x, mod_sub_from_p(form_one(m), m))) {
    const uint slot = atomic_inc(hitCount);
    if (slot < capacity) hits[slot] = (uint2)(i, b);
  }
#ifndef ZK_UNCHECKED
  const ulong lo = num_lo(x), hi = num_hi(x);
  const uint folded = (uint)lo ^ (uint)(lo >> 32) ^ (uint)hi ^ (uint)(hi >> 32);
  atomic_xor(&check[i * groups + (b & (groups - 1))], folded);
#endif
}
