#include "block_cache.h"

namespace sorvith::block {

namespace {

int traverse(PyObject *self, visitproc visit, void *arg) {
    BlockCache *cache = fields(self);
    Py_VISIT(cache->view_source);
    Py_VISIT(cache->view_shape);
    for (RowSlot &slot : cache->rows) {
        Py_VISIT(slot.rows);
        Py_VISIT(slot.skip_type);
        Py_VISIT(slot.layout);
        Py_VISIT(slot.dtype);
        Py_VISIT(slot.shape);
        Py_VISIT(slot.device);
    }
    Py_VISIT(cache->fused);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int clear(PyObject *self) {
    BlockCache *cache = fields(self);
    Py_CLEAR(cache->view_source);
    Py_CLEAR(cache->view_shape);
    for (RowSlot &slot : cache->rows) {
        Py_CLEAR(slot.rows);
        Py_CLEAR(slot.skip_type);
        Py_CLEAR(slot.layout);
        Py_CLEAR(slot.dtype);
        Py_CLEAR(slot.shape);
        Py_CLEAR(slot.device);
    }
    Py_CLEAR(cache->fused);
    return 0;
}

void dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(&dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(&traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(&clear)},
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

py::object make_cache() {
    py::object cache = steal(PyType_GenericAlloc(cache_type(), 0));
    fields(cache)->view_version = -1;
    return cache;
}

// The caches of the live blocks: {address of the block: (weak reference to it, cache)}. The
// weak reference's callback removes the entry when the block dies, before its address can be
// taken by another object.
PyObject *caches() {
    static PyObject *table = nullptr;
    if (!table)
        table = steal(PyDict_New()).release().ptr();
    return table;
}

// The weak reference's callback, bound to the entry's key.
PyObject *forget(PyObject *key, PyObject *reference) {
    PyObject *entry = PyDict_GetItemWithError(caches(), key);
    if (entry && PyTuple_GET_ITEM(entry, 0) == reference && PyDict_DelItem(caches(), key) < 0)
        return nullptr;
    if (PyErr_Occurred())
        return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef forget_def = {"forget_block_cache", &forget, METH_O, nullptr};

// Networks pickled by earlier releases hold the cache in each block's __dict__ under this key
// as a one-element tuple (the view_tuple it read). The block gives it up at its first call.
py::handle legacy_key() { return SV_NAME("0_cascade_cache"); }

void adopt_legacy_entry(py::handle self, BlockCache *cache) {
    PyObject *dict_pointer = PyObject_GenericGetDict(self.ptr(), nullptr);
    if (!dict_pointer) {
        PyErr_Clear();
        return;
    }
    py::object dict = steal(dict_pointer);
    PyObject *found = PyDict_GetItemWithError(dict.ptr(), legacy_key().ptr());
    if (!found) {
        if (PyErr_Occurred())
            throw py::error_already_set();
        return;
    }
    py::object held = borrow(found);
    if (PyTuple_CheckExact(found) && PyTuple_GET_SIZE(found) == 1)
        set_view_source(cache, PyTuple_GET_ITEM(found, 0));
    check(PyDict_DelItem(dict.ptr(), legacy_key().ptr()));
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

void set_rows(RowSlot &slot, py::handle rows, py::handle skip_type, py::handle layout,
              py::handle dtype, py::handle shape, py::handle device, bool on_cpu,
              Py_ssize_t count) {
    PyObject *old[] = {slot.rows, slot.skip_type, slot.layout, slot.dtype, slot.shape,
                       slot.device};
    auto own = [](py::handle value) { return py::object(borrow(value.ptr())).release().ptr(); };
    slot.rows = own(rows);
    slot.skip_type = own(skip_type);
    slot.layout = own(layout);
    slot.dtype = own(dtype);
    slot.shape = own(shape);
    slot.device = own(device);
    slot.on_cpu = on_cpu;
    slot.count = count;
    for (PyObject *value : old)
        Py_XDECREF(value);
}

py::object cache_of(py::handle self) {
    PyObject *table = caches();
    py::object key = steal(PyLong_FromVoidPtr(self.ptr()));
    if (PyObject *entry = PyDict_GetItemWithError(table, key.ptr())) {
        if (PyWeakref_GetObject(PyTuple_GET_ITEM(entry, 0)) == self.ptr())
            return borrow(PyTuple_GET_ITEM(entry, 1));
    } else if (PyErr_Occurred()) {
        throw py::error_already_set();
    }
    py::object cache = make_cache();
    adopt_legacy_entry(self, fields(cache));
    py::object callback = steal(PyCFunction_New(&forget_def, key.ptr()));
    PyObject *made = PyWeakref_NewRef(self.ptr(), callback.ptr());
    if (!made) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError))
            throw py::error_already_set();
        PyErr_Clear(); // not weakly referenceable: a cache for this call alone
        return cache;
    }
    py::object reference = steal(made);
    py::object entry = steal(PyTuple_Pack(2, reference.ptr(), cache.ptr()));
    check(PyDict_SetItem(table, key.ptr(), entry.ptr()));
    return cache;
}

} // namespace sorvith::block
