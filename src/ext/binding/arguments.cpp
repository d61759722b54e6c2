// Binding of positional and keyword arguments to a FunctionSpec, with the host's
// usual TypeError texts, then the declared conversions and checks.
#include "binding/convert.hpp"
#include "binding/function.hpp"
#include "core/errors.hpp"
#include "core/messages.hpp"
#include "core/ref.hpp"

namespace tavrune::binding {

namespace {

Py_ssize_t required_count(const FunctionSpec& spec) {
    Py_ssize_t required = 0;
    for (const Param& param : spec.params) required += param.optional ? 0 : 1;
    return required;
}

bool raise_count(const FunctionSpec& spec, Py_ssize_t given) {
    const auto total = static_cast<Py_ssize_t>(spec.params.size());
    const Py_ssize_t required = required_count(spec);
    const bool too_few = given < required;
    const Py_ssize_t expected = too_few ? required : total;
    const char* wording = required == total ? msg::kArgCountExactly
                          : too_few         ? msg::kArgCountAtLeast
                                            : msg::kArgCountAtMost;
    return errors::raise_format(PyExc_TypeError, msg::kArgCount, spec.name, wording, expected,
                                expected == 1 ? "" : "s", given);
}

// Index of the keyword named like param, or -1; sets an exception (and returns
// -2) for a keyword that is not a string.
Py_ssize_t find_keyword(const FunctionSpec& spec, const char* param, PyObject* const* keys, Py_ssize_t nkw) {
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        if (!PyUnicode_Check(keys[k])) {
            errors::raise_format(PyExc_TypeError, msg::kKeywordsMustBeStrings, spec.name);
            return -2;
        }
        if (PyUnicode_CompareWithASCIIString(keys[k], param) == 0) return k;
    }
    return -1;
}

Py_ssize_t find_param(const FunctionSpec& spec, PyObject* key) {
    for (std::size_t i = 0; i < spec.params.size(); ++i)
        if (PyUnicode_CompareWithASCIIString(key, spec.params[i].name) == 0) return static_cast<Py_ssize_t>(i);
    return -1;
}

bool apply_check(const Param& param, PyObject* value, std::int32_t& int_slot) {
    switch (param.check) {
        case Check::kNone: return true;
        case Check::kInt32: return to_int32(value, int_slot);
        case Check::kExactBytes: return check_exact_type(value, &PyBytes_Type, param.name);
        case Check::kExactTuple: return check_exact_type(value, &PyTuple_Type, param.name);
        case Check::kExactStr: return check_exact_type(value, &PyUnicode_Type, param.name);
        case Check::kExactBytesOrNone: return check_exact_type(value, &PyBytes_Type, param.name, true, true);
        case Check::kExactListOrNone: return check_exact_type(value, &PyList_Type, param.name, true, true);
    }
    return true;
}

// Keywords are matched in the order the host's own argument parsing of compiled
// functions uses: missing required parameters are reported first, then the first
// keyword that is unknown or repeats a positional argument.
bool bind(const FunctionSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* const* keys,
          PyObject* const* values, Py_ssize_t nkw, BoundArgs& bound) {
    const auto total = static_cast<Py_ssize_t>(spec.params.size());
    if (nargs > total) return raise_count(spec, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) bound.args[i] = args[i];
    if (nkw == 0) {
        if (nargs < required_count(spec)) return raise_count(spec, nargs);
        for (Py_ssize_t i = nargs; i < total; ++i) bound.args[i] = Py_None;
    } else {
        Py_ssize_t consumed = 0;
        for (Py_ssize_t i = nargs; i < total; ++i) {
            const Param& param = spec.params[static_cast<std::size_t>(i)];
            const Py_ssize_t k = find_keyword(spec, param.name, keys, nkw);
            if (k == -2) return false;
            if (k >= 0) {
                bound.args[i] = values[k];
                ++consumed;
            } else if (!param.optional) {
                return raise_count(spec, i);
            } else {
                bound.args[i] = Py_None;
            }
        }
        if (consumed < nkw) {
            for (Py_ssize_t k = 0; k < nkw; ++k) {
                if (!PyUnicode_Check(keys[k]))
                    return errors::raise_format(PyExc_TypeError, msg::kKeywordsMustBeStrings, spec.name);
                const Py_ssize_t i = find_param(spec, keys[k]);
                if (i < 0) return errors::raise_format(PyExc_TypeError, msg::kUnexpectedKeyword, spec.name, keys[k]);
                if (i < nargs) return errors::raise_format(PyExc_TypeError, msg::kMultipleValues, spec.name, keys[k]);
            }
        }
    }
    for (Py_ssize_t i = 0; i < total; ++i)
        if (!apply_check(spec.params[static_cast<std::size_t>(i)], bound.args[i], bound.ints[i])) return false;
    return true;
}

// The keys and then the values of kwargs, in one new tuple. Python code can
// reach the caller's dict (gc.get_referrers) and empty it while a conversion or
// the body runs; a tuple cannot be changed, so what it holds stays alive for
// the call. Filled with no allocation in between, so the dict cannot change
// under the walk; allocating the tuple itself can, so its size is checked
// after, and a dict that changes size at every try fails as iterating it would.
Ref keywords_of(PyObject* kwargs, Py_ssize_t& count) {
    constexpr int kTries = 8;
    for (int attempt = 0;; ++attempt) {
        count = PyDict_GET_SIZE(kwargs);
        Ref pairs = Ref::steal(PyTuple_New(2 * count));
        if (!pairs) return {};
        if (PyDict_GET_SIZE(kwargs) != count) {
            if (attempt + 1 < kTries) continue;
            return errors::raise(PyExc_RuntimeError, msg::kDictChangedSize);
        }
        Py_ssize_t position = 0, i = 0;
        PyObject *key, *value;
        while (i < count && PyDict_Next(kwargs, &position, &key, &value)) {
            Py_INCREF(key);
            PyTuple_SET_ITEM(pairs.get(), i, key);
            Py_INCREF(value);
            PyTuple_SET_ITEM(pairs.get(), count + i, value);
            ++i;
        }
        return pairs;
    }
}

}  // namespace

bool bind_arguments(const FunctionSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    BoundArgs& bound) {
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    PyObject* const* keys = nkw ? &PyTuple_GET_ITEM(kwnames, 0) : nullptr;
    return bind(spec, args, nargs, keys, args + nargs, nkw, bound);
}

bool bind_arguments(const FunctionSpec& spec, PyObject* args, PyObject* kwargs, BoundArgs& bound) {
    PyObject* const* positional = PyTuple_GET_SIZE(args) ? &PyTuple_GET_ITEM(args, 0) : nullptr;
    if (!kwargs || PyDict_GET_SIZE(kwargs) == 0)
        return bind(spec, positional, PyTuple_GET_SIZE(args), nullptr, nullptr, 0, bound);
    Py_ssize_t count;
    bound.keep = keywords_of(kwargs, count);
    if (!bound.keep) return false;
    PyObject* const* pairs = &PyTuple_GET_ITEM(bound.keep.get(), 0);
    return bind(spec, positional, PyTuple_GET_SIZE(args), pairs, pairs + count, count, bound);
}

}  // namespace tavrune::binding
