// The velomap module: multi-phase initialisation and class registration.
#include <vector>

#include "map_class.h"
#include "panic.h"
#include "schemes.h"

namespace velomap::py {
namespace {

// Set a module attribute to a borrowed object.
void add_attribute(PyObject* module, const char* name, PyObject* value) {
  Py_INCREF(value);
  if (PyModule_AddObject(module, name, value) < 0) {
    Py_DECREF(value);
    throw PyErrorSet{};
  }
}

// Create a class's type object (once per process), append its name to
// __all__ and set the module attribute.
void register_class(PyObject* module, PyObject* all, const char* name, PyTypeObject* type) {
  Ref name_obj = Ref::checked(PyUnicode_FromString(name));
  check(PyList_Append(all, name_obj.get()));
  add_attribute(module, name, reinterpret_cast<PyObject*>(type));
}

int exec_module(PyObject* module) noexcept {
  return guarded(-1, [&] {
    Ref all = Ref::checked(PyList_New(0));
    add_attribute(module, "__all__", all.get());
    register_class(module, all.get(), ElasticScheme::name, MapClass<ElasticScheme>::create_type());
    register_class(module, all.get(), FunnelScheme::name, MapClass<FunnelScheme>::create_type());
    PyObject* panic = panic_type();
    if (panic == nullptr) throw PyErrorSet{};
    add_attribute(module, "PanicException", panic);
    return 0;
  });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "velomap",
    nullptr,  // no docstring
    0,        // no per-module state
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace velomap::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_velomap(void) {
  return PyModuleDef_Init(&velomap::py::module_def);
}
