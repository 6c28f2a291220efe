#include "block_cache.h"

#include "host/made_once.h"

#include <new>
#include <type_traits>

namespace sorvith::block::rows {

namespace {

int traverse(PyObject *self, visitproc visit, void *arg) {
    int status = 0;
    fields(self).each_entry([&](auto &entry) {
        entry.each_reference([&](py::object &held) {
            if (!status && held)
                status = visit(held.ptr(), arg);
        });
    });
    if (status)
        return status;
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int clear(PyObject *self) {
    fields(self).each_entry([](auto &entry) { replace(entry, std::decay_t<decltype(entry)>{}); });
    return 0;
}

void dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    clear(self);
    fields(self).~BlockCache();
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

PyType_Spec cache_layout = {"sorvith.BlockCache", sizeof(CacheObject), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots};

PyTypeObject *cache_type() {
    static MadeOnce<py::object> type;
    return reinterpret_cast<PyTypeObject *>(
        type.get([] { return steal(PyType_FromSpec(&cache_layout)); }).ptr());
}

py::object make_cache() {
    py::object cache = steal(PyType_GenericAlloc(cache_type(), 0));
    new (&fields(cache)) BlockCache();
    return cache;
}

// The caches of the live blocks: {address of the block: (weak reference to it, cache)}. The
// weak reference's callback removes the entry when the block dies, before its address can be
// taken by another object.
PyObject *caches() {
    static MadeOnce<py::object> table;
    return table.get([] { return steal(PyDict_New()); }).ptr();
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

void adopt_legacy_entry(py::handle self, BlockCache &cache) {
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
        replace(cache.view, ViewSource::unread(PyTuple_GET_ITEM(found, 0)));
    check(PyDict_DelItem(dict.ptr(), legacy_key().ptr()));
}

} // namespace

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

} // namespace sorvith::block::rows
