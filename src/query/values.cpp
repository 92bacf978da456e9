#include "query/values.hpp"

#include <cmath>
#include <cstring>

namespace veldrin {

namespace {

enum class Kind { None, Bool, Number, Str, List, Other };  // also the sorting rank

Kind kind_of(PyObject* o) noexcept {
    // The exact built-in types first: the subclass tests below walk the MRO.
    PyTypeObject* t = Py_TYPE(o);
    if (t == &PyLong_Type || t == &PyFloat_Type) return Kind::Number;
    if (t == &PyUnicode_Type) return Kind::Str;
    if (o == Py_None) return Kind::None;
    if (PyBool_Check(o)) return Kind::Bool;
    if (PyLong_Check(o) || PyFloat_Check(o)) return Kind::Number;
    if (PyUnicode_Check(o)) return Kind::Str;
    if (PyList_Check(o)) return Kind::List;
    return Kind::Other;
}

int sign(long long v) noexcept { return (v > 0) - (v < 0); }

bool is_float(PyObject* o) noexcept;
bool is_nan(PyObject* o) noexcept { return is_float(o) && std::isnan(PyFloat_AS_DOUBLE(o)); }

// The interpreter's own recursion check, around every list level.
struct RecursionGuard {
    RecursionGuard() {
        if (Py_EnterRecursiveCall(" in comparison")) throw_pending();
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
};

// a <op> b for two non-NaN numbers.  The base types' own comparisons are
// exact across int and float and run no overridden methods.  Throws
// PyErrorSet on memory exhaustion.
bool is_float(PyObject* o) noexcept {
    return Py_TYPE(o) == &PyFloat_Type || (Py_TYPE(o) != &PyLong_Type && PyFloat_Check(o));
}

bool number_rel(PyObject* a, PyObject* b, int op) {
    if (Py_TYPE(a) == &PyLong_Type && Py_TYPE(b) == &PyLong_Type) {
        int oa = 0, ob = 0;
        long x = PyLong_AsLongAndOverflow(a, &oa);
        long y = PyLong_AsLongAndOverflow(b, &ob);
        if (!oa && !ob) return op == Py_LT ? x < y : op == Py_GT ? x > y : x == y;
    }
    bool fa = is_float(a), fb = is_float(b);
    if (fa && fb) {
        double x = PyFloat_AS_DOUBLE(a), y = PyFloat_AS_DOUBLE(b);
        return op == Py_LT ? x < y : op == Py_GT ? x > y : x == y;
    }
    PyObject* r;
    if (fa) {
        r = PyFloat_Type.tp_richcompare(a, b, op);
    } else if (fb) {
        r = PyFloat_Type.tp_richcompare(b, a, op == Py_LT ? Py_GT : op == Py_GT ? Py_LT : op);
    } else {
        r = PyLong_Type.tp_richcompare(a, b, op);
    }
    if (!r) throw_pending();
    bool result = r == Py_True;
    Py_DECREF(r);
    return result;
}

int number_cmp(PyObject* a, PyObject* b) {
    if (number_rel(a, b, Py_LT)) return -1;
    return number_rel(a, b, Py_GT) ? 1 : 0;
}

int str_cmp(PyObject* a, PyObject* b) noexcept {
    int r = PyUnicode_Compare(a, b);  // cannot fail on two str
    if (r == -1 && PyErr_Occurred()) PyErr_Clear();
    return r;
}

enum class Ord { Less, Equal, Greater, Unordered, Null };

Ord ord(int c) noexcept { return c < 0 ? Ord::Less : c > 0 ? Ord::Greater : Ord::Equal; }

Ord ordering(PyObject* a, PyObject* b) {
    Kind k = kind_of(a);
    if (k != kind_of(b)) return Ord::Null;
    switch (k) {
        case Kind::Bool:
            return ord((a == Py_True) - (b == Py_True));
        case Kind::Number:
            return is_nan(a) || is_nan(b) ? Ord::Unordered : ord(number_cmp(a, b));
        case Kind::Str:
            return ord(str_cmp(a, b));
        case Kind::List: {
            // No Python code runs here, so the lists cannot change under us.
            RecursionGuard depth;
            Py_ssize_t na = PyList_GET_SIZE(a), nb = PyList_GET_SIZE(b);
            for (Py_ssize_t i = 0; i < na && i < nb; ++i) {
                Ord o = ordering(PyList_GET_ITEM(a, i), PyList_GET_ITEM(b, i));
                if (o != Ord::Equal) return o;
            }
            return ord(sign(static_cast<long long>(na) - nb));
        }
        default:
            return Ord::Null;
    }
}

Tri python_equal(PyObject* a, PyObject* b) {
    Ref r = Ref::steal(PyObject_RichCompare(a, b, Py_EQ));
    int t = PyObject_IsTrue(r.get());
    if (t < 0) throw_pending();
    return tri(t != 0);
}

int order(PyObject* a, PyObject* b, int depth) noexcept {
    Kind ka = kind_of(a), kb = kind_of(b);
    if (ka != kb) return static_cast<int>(ka) - static_cast<int>(kb);
    switch (ka) {
        case Kind::None:
            return 0;
        case Kind::Bool:
            return (a == Py_True) - (b == Py_True);
        case Kind::Number: {
            bool na = is_nan(a), nb = is_nan(b);
            if (na || nb) return na - nb;
            try {
                return number_cmp(a, b);
            } catch (const PyErrorSet&) {
                PyErr_Clear();
                return 0;
            }
        }
        case Kind::Str:
            return str_cmp(a, b);
        case Kind::List: {
            if (depth >= 1000) return 0;
            Py_ssize_t na = PyList_GET_SIZE(a), nb = PyList_GET_SIZE(b);
            for (Py_ssize_t i = 0; i < na && i < nb; ++i) {
                if (int c = order(PyList_GET_ITEM(a, i), PyList_GET_ITEM(b, i), depth + 1))
                    return c;
            }
            return sign(static_cast<long long>(na) - nb);
        }
        case Kind::Other:
            break;
    }
    return sign(std::strcmp(Py_TYPE(a)->tp_name, Py_TYPE(b)->tp_name));
}

}  // namespace

Tri values_equal(PyObject* a, PyObject* b, bool pure) {
    if (a == Py_None || b == Py_None) return Tri::Null;
    Kind k = kind_of(a), kb = kind_of(b);
    if (k == Kind::Other || kb == Kind::Other) {
        if (pure) throw WouldRunPython{};
        return python_equal(a, b);
    }
    if (k != kb) return Tri::Null;  // values of different kinds cannot be compared
    switch (k) {
        case Kind::Bool:
            return tri(a == b);
        case Kind::Number:
            return is_nan(a) || is_nan(b) ? Tri::False : tri(number_rel(a, b, Py_EQ));
        case Kind::Str:
            return tri(str_cmp(a, b) == 0);
        case Kind::List:
            break;
        default:
            return Tri::False;
    }
    // Element comparisons may run Python code that changes either list, so
    // sizes are read afresh and elements held while compared.
    RecursionGuard depth;
    if (PyList_GET_SIZE(a) != PyList_GET_SIZE(b)) return Tri::False;
    bool saw_null = false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(a) && i < PyList_GET_SIZE(b); ++i) {
        Ref x = Ref::borrow(PyList_GET_ITEM(a, i));
        Ref y = Ref::borrow(PyList_GET_ITEM(b, i));
        Tri t = values_equal(x.get(), y.get(), pure);
        if (t == Tri::False) return Tri::False;
        saw_null = saw_null || t == Tri::Null;
    }
    if (PyList_GET_SIZE(a) != PyList_GET_SIZE(b)) return Tri::False;
    return saw_null ? Tri::Null : Tri::True;
}

Tri values_compare(PyObject* a, PyObject* b, CompareOp op) {
    Ord o = ordering(a, b);
    if (o == Ord::Null) return Tri::Null;
    if (o == Ord::Unordered) return Tri::False;
    switch (op) {
        case CompareOp::Lt:
            return tri(o == Ord::Less);
        case CompareOp::Le:
            return tri(o != Ord::Greater);
        case CompareOp::Gt:
            return tri(o == Ord::Greater);
        case CompareOp::Ge:
            return tri(o != Ord::Less);
    }
    return Tri::Null;
}

int order_compare(PyObject* a, PyObject* b) noexcept { return order(a, b, 0); }

bool may_run_python(PyObject* o) noexcept {
    Kind k = kind_of(o);
    return k == Kind::Other || k == Kind::List;
}

}  // namespace veldrin
