#include "block_cache.h"

#include "host/globals.h"

namespace sorvith::block {

namespace {

int traverse(PyObject *self, visitproc visit, void *arg) {
    BlockCache *cache = fields(self);
    Py_VISIT(cache->view_source);
    Py_VISIT(cache->view_shape);
    for (RowSlot &slot : cache->rows) {
        Py_VISIT(slot.rows);
        Py_VISIT(slot.skip);
        Py_VISIT(slot.skip_type);
        Py_VISIT(slot.layout);
        Py_VISIT(slot.shape);
        Py_VISIT(slot.device);
    }
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int clear(PyObject *self) {
    BlockCache *cache = fields(self);
    Py_CLEAR(cache->view_source);
    Py_CLEAR(cache->view_shape);
    for (RowSlot &slot : cache->rows) {
        Py_CLEAR(slot.rows);
        Py_CLEAR(slot.skip);
        Py_CLEAR(slot.skip_type);
        Py_CLEAR(slot.layout);
        Py_CLEAR(slot.shape);
        Py_CLEAR(slot.device);
    }
    return 0;
}

void dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

py::object make_cache();

// Pickled as (source,) or (): a plain tuple, which any reader can unpickle. The values read
// from the source are not kept: the version counter they were read at means nothing in
// another process.
PyObject *reduce(PyObject *self, PyObject *) {
    PyObject *source = fields(self)->view_source;
    PyObject *items = source ? PyTuple_Pack(1, source) : PyTuple_New(0);
    if (!items)
        return nullptr;
    return Py_BuildValue("(O(N))", reinterpret_cast<PyObject *>(&PyTuple_Type), items);
}

// A deep copy of a block gets the copy of the source tensor (the memo makes it the copied
// block's own buffer) and reads its values again when it needs them.
PyObject *deepcopy(PyObject *self, PyObject *memo) {
    try {
        py::object copy = make_cache();
        if (PyObject *source = fields(self)->view_source)
            set_view_source(fields(copy), call_method(import("copy"), SV_NAME("deepcopy"),
                                                      py::handle(source), py::handle(memo)));
        return copy.release().ptr();
    } catch (py::error_already_set &error) {
        error.restore();
        return nullptr;
    }
}

PyMethodDef methods[] = {
    {"__reduce__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&reduce)),
     METH_NOARGS, nullptr},
    {"__deepcopy__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&deepcopy)),
     METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(&dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(&traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(&clear)},
    {Py_tp_methods, methods},
    {Py_tp_doc, const_cast<char *>("What a dendritic block keeps between forward calls.")},
    {0, nullptr},
};

PyType_Spec cache_layout = {"sorvith.BlockCache", sizeof(BlockCache), 0,
                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots};

// Made once, under the GIL, then immutable. (A plain pointer rather than a function-local
// static, whose guard would be held while Python code runs.)
PyTypeObject *cache_type() {
    static PyObject *type = nullptr;
    if (!type) {
        PyObject *made = PyType_FromSpec(&cache_layout);
        if (!made)
            throw py::error_already_set();
        if (type)
            Py_DECREF(made);
        else
            type = made;
    }
    return reinterpret_cast<PyTypeObject *>(type);
}

// The cache's key in the block's instance dict. nn.Module.__dir__ leaves out names that start
// with a digit, and the network walks visit a module's members by __dir__ (asking the companion
// once for each): under this name the cache adds no member for them to visit.
py::handle cache_key() { return SV_NAME("0_cascade_cache"); }

py::object make_cache() {
    py::object cache = steal(PyType_GenericAlloc(cache_type(), 0));
    fields(cache)->view_version = -1;
    return cache;
}

} // namespace

void set_view_source(BlockCache *cache, py::handle source) {
    PyObject *old_source = cache->view_source, *old_shape = cache->view_shape;
    cache->view_source = py::object(borrow(source.ptr())).release().ptr();
    cache->view_shape = nullptr;
    cache->view_version = -1;
    cache->view_address = 0;
    cache->view_on_cpu = false;
    Py_XDECREF(old_source);
    Py_XDECREF(old_shape);
}

void set_rows(RowSlot &slot, py::handle rows, py::handle skip, py::handle layout,
              py::handle shape, py::handle device, bool on_cpu, Py_ssize_t count,
              int requires_grad) {
    PyObject *old[] = {slot.rows, slot.skip, slot.skip_type, slot.layout, slot.shape,
                       slot.device};
    slot.rows = py::object(borrow(rows.ptr())).release().ptr();
    slot.skip = py::object(borrow(skip.ptr())).release().ptr();
    slot.skip_type = skip ? borrow(type_of(skip).ptr()).release().ptr() : nullptr;
    slot.layout = py::object(borrow(layout.ptr())).release().ptr();
    slot.shape = py::object(borrow(shape.ptr())).release().ptr();
    slot.device = py::object(borrow(device.ptr())).release().ptr();
    slot.on_cpu = on_cpu;
    slot.count = count;
    slot.requires_grad = requires_grad;
    for (PyObject *value : old)
        Py_XDECREF(value);
}

py::object cache_of(py::handle self) {
    py::object dict = steal(PyObject_GenericGetDict(self.ptr(), nullptr));
    PyObject *found = PyDict_GetItemWithError(dict.ptr(), cache_key().ptr());
    if (found && Py_TYPE(found) == cache_type())
        return borrow(found);
    if (PyErr_Occurred())
        throw py::error_already_set();
    py::object cache = make_cache();
    if (found && PyTuple_CheckExact(found) && PyTuple_GET_SIZE(found) == 1)
        set_view_source(fields(cache), PyTuple_GET_ITEM(found, 0));
    check(PyDict_SetItem(dict.ptr(), cache_key().ptr(), cache.ptr()));
    return cache;
}

} // namespace sorvith::block
