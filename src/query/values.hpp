// Comparison of Python property values, as conditions and sorting need it.
// All functions need the interpreter lock.
//
// Kinds: None, bool, number (int and float, their subclasses included; bool
// is NOT a number), str, list, and every other object.
//
// Conditions use three-valued results:
//   - equality: None on either side gives Null; numbers compare exactly
//     across int and float (NaN equals nothing); bools only with bools (so
//     True = 1 is False); str with str; lists element-wise (False if the
//     lengths differ or some element pair is False, else Null if some pair
//     is Null, else True); two different kinds among the above cannot be
//     compared and give Null (so 'a' = 1 and 'a' <> 1 are both null);
//     when either side is another object, Python's == decides (its
//     exceptions propagate as PyErrorSet).
//   - ordering: numbers with numbers, str with str (code-point order), bool
//     with bool (False < True), lists lexicographically (a proper prefix is
//     smaller); every other pairing, None included, gives Null.  NaN is
//     unordered: every ordering comparison with it is False.
//
// Sorting uses a total order that never raises (see order_compare).
#pragma once

#include "module/py.hpp"

namespace veldrin {

enum class Tri { False, True, Null };

inline Tri tri(bool b) noexcept { return b ? Tri::True : Tri::False; }
inline Tri tri_not(Tri t) noexcept {
    return t == Tri::Null ? Tri::Null : t == Tri::True ? Tri::False : Tri::True;
}

enum class CompareOp { Lt, Le, Gt, Ge };

// Thrown by values_equal with `pure` set instead of running Python code (an
// object's own `==`).
struct WouldRunPython {};

// a = b.
Tri values_equal(PyObject* a, PyObject* b, bool pure = false);
// a <op> b.  Nested lists past the interpreter's recursion limit raise
// RecursionError.
Tri values_compare(PyObject* a, PyObject* b, CompareOp op);

// Can values_equal run Python code when `o` is one side (its own `==`, or
// that of an element)?  True for objects of other kinds and for lists.
bool may_run_python(PyObject* o) noexcept;

// Total order for sorting: negative, 0 or positive.  Kinds rank
//   None < bool < number < str < list < other;
// within a kind: False < True; numbers numerically and exactly across int
// and float, NaN after every other number and equal to NaN; str by code
// points; lists lexicographically; other objects by the name of their type,
// and 0 within one type (a stable sort keeps their order).  Runs no Python
// code and never raises: a failure inside an exact int/float comparison
// (memory exhaustion only) counts as equal, and lists nested past 1000
// levels compare equal there.
int order_compare(PyObject* a, PyObject* b) noexcept;

}  // namespace veldrin
