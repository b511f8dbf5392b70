// The walk's functions for an arithmetic that does not bring its own (it
// defines ZK_OWN_FIXED, ZK_OWN_WINDOW where it does): read after the
// arithmetic's file, before the kernels (walks.cl).

#ifndef ZK_OWN_FIXED
// The walk's multiplier: its form, by which a plain value multiplies to a
// plain product.
typedef num fixed;
ZK_FN fixed mod_fixed(num w, modulus m) { return w; }
ZK_FN num mod_mul_fixed(num x, fixed w, modulus m) { return mod_mul(x, w, m); }
#endif

#ifndef ZK_OWN_WINDOW
// The values strictly between the walk's two hit bounds, above <= x < low:
// x - above, wrapped, below low - above (one subtraction, one comparison).
typedef struct {
  num above, span;
} window;
ZK_FN window window_make(num above, num low) {
  window w;
  w.above = above;
  w.span = num_lt(above, low) ? num_sub_wrap(low, above) : num_make(0, 0);
  return w;
}
ZK_FN int window_holds(num x, window w) { return num_lt(num_sub_wrap(x, w.above), w.span); }
ZK_FN num walk_norm(num x, modulus m) { return x; }
#endif
