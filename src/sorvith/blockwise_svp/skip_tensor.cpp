#include "skip_tensor.h"

#include "host/errors.h"
#include "host/globals.h"
#include "host/protocols.h"

#include <algorithm>
#include <cstring>
#include <cmath>
#include <utility>
#include <vector>

namespace sorvith::blockwise_svp {

namespace {

// The marker text, coded two characters per value. Six characters, so three marker values: the
// smallest ordinary block, one dendrite, has three filler rows (two for the dendrite, one for
// the main module), so at least three filler slots even at width 1.
const char *const marker_text = "sv-nvr";

// The marker values of `text`: each pair of character codes (a, b) gives
// (a + 1) / 10**4 + (b + 1) / 10**6; a final unpaired code is dropped.
std::vector<double> marker_values(const char *text) {
    std::vector<double> values;
    double next = 0.0;
    int index = 0;
    for (const unsigned char *code = reinterpret_cast<const unsigned char *>(text); *code;
         ++code) {
        // Both operands are exact doubles, so one correctly rounded division gives the value
        // of the integer true division (letter + 1) / 10**4 or / 10**6.
        next += static_cast<double>(*code + 1) / (index == 0 ? 1e4 : 1e6);
        if (++index == 2) {
            values.push_back(next);
            next = 0.0;
            index = 0;
        }
    }
    return values;
}

// One entry of the skip list: the weights of the earlier blocks into one receiving block.
struct Entry {
    py::object value;
    // Read in bulk: a strided real floating tensor whose element [j][k] holds one value.
    bool bulk = false;
    Py_ssize_t rows = 0, cols = 0;
    py::object matrix; // bulk: the entry as a detached (rows, cols) tensor
    py::object values; // bulk, with elements: the matrix's values as float64, row by row
};

// Decides whether the entry can be read in bulk with exactly the values, order and element
// conversions that reading it element by element gives. Anything else (other tensor classes,
// integer, complex or meta tensors, other shapes, plain lists) is read element by element.
void classify(py::handle torch, Entry &entry) {
    py::handle type = type_of(entry.value);
    if (type.ptr() != attr(torch, SV_NAME("Tensor")).ptr() &&
        type.ptr() != attr(attr(torch, SV_NAME("nn")), SV_NAME("Parameter")).ptr())
        return;
    if (attr(entry.value, SV_NAME("layout")).ptr() != attr(torch, SV_NAME("strided")).ptr() ||
        truth(attr(entry.value, SV_NAME("is_nested"))))
        return;
    py::object dtype = attr(entry.value, SV_NAME("dtype"));
    bool real_float = false;
    for (py::handle name : {SV_NAME("float32"), SV_NAME("float64"), SV_NAME("float16"),
                            SV_NAME("bfloat16")})
        real_float = real_float || dtype.ptr() == attr(torch, name).ptr();
    if (!real_float)
        return;
    if (equal(attr(attr(entry.value, SV_NAME("device")), SV_NAME("type")), py::str("meta")))
        return;
    py::object shape = steal(PySequence_Tuple(attr(entry.value, SV_NAME("shape")).ptr()));
    Py_ssize_t rank = PyTuple_GET_SIZE(shape.ptr());
    if (rank < 2)
        return;
    // Trailing dimensions of size 1 leave one value per element.
    for (Py_ssize_t d = 2; d < rank; ++d)
        if (as_size(PyTuple_GET_ITEM(shape.ptr(), d)) != 1)
            return;
    entry.rows = as_size(PyTuple_GET_ITEM(shape.ptr(), 0));
    entry.cols = as_size(PyTuple_GET_ITEM(shape.ptr(), 1));
    entry.matrix = call_method(call_method(entry.value, SV_NAME("detach")), SV_NAME("reshape"),
                               make_int(entry.rows), make_int(entry.cols));
    entry.bulk = true;
}

// The entry's values as float64, row by row: what `.item()` gives for each element.
py::object bulk_values(py::handle torch, const Entry &entry) {
    py::object on_cpu =
        call_method(entry.matrix, SV_NAME("to"), py::str("cpu"), attr(torch, SV_NAME("float64")));
    py::object array = call_kw(attr(on_cpu, SV_NAME("numpy")), py::tuple(), {{"force", Py_True}});
    return call_method(array, SV_NAME("reshape"), make_int(-1));
}

struct Statistics {
    Py_ssize_t width = 1;
    py::object mean, std; // unset (null) when the skip list holds no element
};

Statistics statistics(py::handle np, py::handle torch, std::vector<Entry> &entries) {
    py::object values = call(attr(np, SV_NAME("array")), py::list());
    py::object append = attr(np, SV_NAME("append"));
    py::list pending; // bulk values not yet joined to `values`
    auto join = [&] {
        if (PyList_GET_SIZE(pending.ptr()) == 0)
            return;
        pending.insert(0, values);
        values = call(attr(np, SV_NAME("concatenate")), py::tuple(pending));
        pending = py::list();
    };
    Py_ssize_t largest = 0;
    for (Entry &entry : entries) {
        if (entry.bulk) {
            if (entry.rows > 0 && entry.cols > 0) {
                entry.values = bulk_values(torch, entry);
                pending.append(entry.values);
                largest = std::max(largest, entry.cols - 1);
            }
            continue;
        }
        join();
        Py_ssize_t rows = length(entry.value);
        for (Py_ssize_t j = 0; j < rows; ++j) {
            py::object row = getitem(entry.value, make_int(j));
            Py_ssize_t n = length(row);
            for (Py_ssize_t k = 0; k < n; ++k) {
                py::object item = call_method(getitem(row, make_int(k)), SV_NAME("item"));
                values = call(append, values, item);
                largest = std::max(largest, k);
            }
        }
    }
    join();
    Statistics result;
    result.width = largest + 1;
    if (length(values) != 0) {
        result.mean = call_method(values, SV_NAME("mean"));
        result.std = call_method(values, SV_NAME("std"));
    }
    return result;
}

// The filler state shared by the slot-by-slot and the bulk fill.
struct Filler {
    py::handle module, np;
    const Statistics &stats;
    std::vector<double> markers;
    size_t letter_index = 0;

    py::object draw() const {
        if (!stats.mean)
            raise_unbound_local("mean");
        return call(attr(attr(np, SV_NAME("random")), SV_NAME("normal")), stats.mean, stats.std);
    }

    // The marker value goes into slot [i][j][k] on the element as stored: rounded to two
    // decimals, then moved away from zero (a rounded 0 counts as non-negative).
    void mark(py::handle skip, Py_ssize_t i, Py_ssize_t j, Py_ssize_t k) {
        py::object index_i = make_int(i), index_j = make_int(j), index_k = make_int(k);
        auto row = [&] { return getitem(getitem(skip, index_i), index_j); };
        py::object item = call_method(getitem(row(), index_k), SV_NAME("item"));
        py::object rounded = call(global(module, SV_NAME("round")), item, make_int(2));
        setitem(row(), index_k, rounded);
        bool negative = less(getitem(row(), index_k), make_int(0));
        py::object shift = steal(PyFloat_FromDouble(markers[letter_index] * (negative ? -1 : 1)));
        py::object target = row();
        py::object element = add_in_place(getitem(target, index_k), shift);
        setitem(target, index_k, element);
        ++letter_index;
    }
};

// The fill written out slot by slot: the reference behaviour, used whenever the bulk fill
// cannot promise the same bits and the same errors.
void fill_slot_by_slot(Filler &filler, py::handle skip, std::vector<Entry> &entries,
                       Py_ssize_t width) {
    Py_ssize_t count = static_cast<Py_ssize_t>(entries.size());
    for (Py_ssize_t i = 0; i < count; ++i) {
        py::object index_i = make_int(i);
        for (Py_ssize_t j = 0; j < count; ++j) {
            py::object index_j = make_int(j);
            const py::object &entry = entries[i].value;
            if (j < length(entry)) {
                py::object row = getitem(entry, index_j);
                Py_ssize_t n = length(row);
                for (Py_ssize_t k = 0; k < n; ++k) {
                    py::object index_k = make_int(k);
                    py::object value = getitem(row, index_k);
                    py::object target = getitem(getitem(skip, index_i), index_j);
                    setitem(target, index_k, value);
                }
                continue;
            }
            for (Py_ssize_t k = 0; k < width; ++k) {
                py::object index_k = make_int(k);
                py::object value = filler.draw();
                py::object target = getitem(getitem(skip, index_i), index_j);
                setitem(target, index_k, value);
                if (filler.letter_index < filler.markers.size())
                    filler.mark(skip, i, j, k);
            }
        }
    }
}

// Normal draws lie within 12.1 standard deviations of the mean (the generator's polar method
// cannot go further), so below this bound no draw can overflow float32. Storing a Python
// float beyond float32's range raises, which only the slot-by-slot fill reproduces.
bool float32_safe(const Statistics &stats) {
    if (!stats.mean)
        return true;
    double mean = PyFloat_AsDouble(stats.mean.ptr());
    double std = PyFloat_AsDouble(stats.std.ptr());
    if (PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    if (!std::isfinite(mean) || !std::isfinite(std))
        return true; // the draws are infinite or NaN, which float32 takes
    return std::fabs(mean) + 13.0 * std < 1e38;
}

// A float64 array's elements, read or written in place through the buffer protocol.
class Float64s {
  public:
    Float64s(py::handle array, bool writable) {
        int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
        check(PyObject_GetBuffer(array.ptr(), &view_, flags));
        if (!view_.format || std::strcmp(view_.format, "d") != 0) {
            PyBuffer_Release(&view_);
            PyErr_SetString(PyExc_TypeError, "expected a float64 array");
            throw py::error_already_set();
        }
    }
    ~Float64s() { PyBuffer_Release(&view_); }
    Float64s(const Float64s &) = delete;
    Float64s &operator=(const Float64s &) = delete;
    double *data() const { return static_cast<double *>(view_.buf); }
    Py_ssize_t size() const { return view_.len / static_cast<Py_ssize_t>(sizeof(double)); }

  private:
    Py_buffer view_;
};

// The skip tensor's values put together in a float64 array and stored with one copy (which
// makes each the tensor's dtype, as the stores of the slot-by-slot fill do): the copied rows
// from the entries' float64 values (exact for every dtype read in bulk), the filler values from
// one draw of numpy's generator (the same sequence as one draw per slot). The first filler
// slots carry the marks: with the builtin round they are made here, on the values as the
// tensor's dtype holds them, with the values the slot-by-slot marks leave (the marker value
// made that dtype and added in it, as the tensor's own in-place addition of a Python float
// does); another round marks slot by slot on the stored tensor.
void fill_in_bulk(Filler &filler, py::handle torch, py::handle skip, std::vector<Entry> &entries,
                  Py_ssize_t width) {
    Py_ssize_t count = static_cast<Py_ssize_t>(entries.size());
    py::object buffer = call(attr(filler.np, SV_NAME("zeros")), make_int(count * count * width));
    std::vector<std::pair<Py_ssize_t, Py_ssize_t>> filler_rows;
    {
        Float64s out(buffer, true);
        for (Py_ssize_t i = 0; i < count; ++i) {
            const Entry &entry = entries[static_cast<size_t>(i)];
            Py_ssize_t copied = std::min(entry.rows, count);
            if (copied > 0 && entry.cols > 0) {
                Float64s in(entry.values, false);
                for (Py_ssize_t j = 0; j < copied; ++j)
                    std::copy(in.data() + j * entry.cols, in.data() + (j + 1) * entry.cols,
                              out.data() + (i * count + j) * width);
            }
            for (Py_ssize_t j = std::max<Py_ssize_t>(copied, 0); j < count; ++j)
                filler_rows.emplace_back(i, j);
        }
    }
    Py_ssize_t slots = static_cast<Py_ssize_t>(filler_rows.size()) * width;
    Py_ssize_t marked = 0;
    if (slots > 0) {
        if (!filler.stats.mean)
            raise_unbound_local("mean");
        py::object draws = call(attr(attr(filler.np, SV_NAME("random")), SV_NAME("normal")),
                                filler.stats.mean, filler.stats.std, make_int(slots));
        marked = std::min(slots, static_cast<Py_ssize_t>(filler.markers.size()));
        PyObject *builtin_round =
            PyDict_GetItemWithError(PyEval_GetBuiltins(), SV_NAME("round").ptr());
        if (!builtin_round && PyErr_Occurred())
            throw py::error_already_set();
        py::object round = global(filler.module, SV_NAME("round"));
        bool single = attr(skip, SV_NAME("dtype")).ptr() == attr(torch, SV_NAME("float32")).ptr();
        std::vector<double> marks;
        if (marked > 0 && round.ptr() == builtin_round) {
            Float64s drawn(draws, false);
            py::object two = make_int(2);
            for (Py_ssize_t m = 0; m < marked; ++m) {
                double stored = drawn.data()[m];
                if (single)
                    stored = static_cast<float>(stored);
                py::object rounded = call(round, steal(PyFloat_FromDouble(stored)), two);
                double value = PyFloat_AsDouble(rounded.ptr());
                if (value == -1.0 && PyErr_Occurred())
                    throw py::error_already_set();
                double marker = filler.markers[filler.letter_index++];
                if (single) {
                    float kept = static_cast<float>(value);
                    float shift = static_cast<float>(kept < 0 ? -marker : marker);
                    float sum = kept + shift;
                    marks.push_back(sum);
                } else {
                    marks.push_back(value + (value < 0 ? -marker : marker));
                }
            }
            marked = 0;
        }
        Float64s drawn(draws, false);
        Float64s out(buffer, true);
        Py_ssize_t slot = 0;
        for (const auto &row : filler_rows)
            for (Py_ssize_t k = 0; k < width; ++k, ++slot)
                out.data()[(row.first * count + row.second) * width + k] =
                    static_cast<size_t>(slot) < marks.size() ? marks[static_cast<size_t>(slot)]
                                                             : drawn.data()[slot];
    }
    py::object values = call(attr(torch, SV_NAME("from_numpy")), buffer);
    values = call_method(values, SV_NAME("view"), make_int(count), make_int(count),
                         make_int(width));
    call_method(skip, SV_NAME("copy_"), values);

    for (Py_ssize_t slot = 0; slot < marked; ++slot) {
        const auto &row = filler_rows[static_cast<size_t>(slot / width)];
        filler.mark(skip, row.first, row.second, slot % width);
    }
}

} // namespace

py::object build_skip_tensor(py::handle module, py::handle skip_list) {
    py::object torch = global(module, SV_NAME("torch"));
    py::object np = global(module, SV_NAME("np"));
    // The bulk reads and draws call numpy in forms the element-by-element build never uses
    // (np.concatenate, one np.random.normal for n values): only numpy itself is called so. A
    // module or a normal that a caller put in their place gets the calls one by one.
    bool numpy_itself = np.ptr() == import("numpy").ptr();
    bool numpy_normal =
        numpy_itself && attr(attr(np, SV_NAME("random")), SV_NAME("normal")).ptr() ==
                            attr(import("numpy.random.mtrand"), SV_NAME("normal")).ptr();

    Py_ssize_t count = length(skip_list);
    std::vector<Entry> entries(static_cast<size_t>(count));
    bool all_bulk = true;
    for (Py_ssize_t i = 0; i < count; ++i) {
        Entry &entry = entries[static_cast<size_t>(i)];
        entry.value = getitem(skip_list, make_int(i));
        if (numpy_itself)
            classify(torch, entry);
        all_bulk = all_bulk && entry.bulk;
    }

    Statistics stats = statistics(np, torch, entries);
    Filler filler{module, np, stats, marker_values(marker_text)};

    py::object skip = call(attr(torch, SV_NAME("zeros")), make_int(count), make_int(count),
                           make_int(stats.width));
    py::object dtype = attr(skip, SV_NAME("dtype"));
    bool bulk_dtype = dtype.ptr() == attr(torch, SV_NAME("float64")).ptr() ||
                      (dtype.ptr() == attr(torch, SV_NAME("float32")).ptr() && float32_safe(stats));
    if (all_bulk && bulk_dtype && numpy_normal)
        fill_in_bulk(filler, torch, skip, entries, stats.width);
    else
        fill_slot_by_slot(filler, skip, entries, stats.width);
    return skip;
}

} // namespace sorvith::blockwise_svp
