// The velomap module: multi-phase initialisation and class registration.
#include <algorithm>

#include "map_class.h"
#include "panic.h"
#include "schemes.h"
#include "update.h"

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

// Registers classes in order: appends each name to __all__, then sets the
// module attribute. Type objects are created once per process and reused.
struct Registry {
  PyObject* module;
  PyObject* all;

  void operator()(PyTypeObject* type) const {
    Ref name = Ref::checked(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__"));
    check(PyList_Append(all, name.get()));
    auto& own = own_types();  // executing the module again registers nothing twice
    if (std::find(own.begin(), own.end(), type) == own.end()) own.push_back(type);
    const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), nullptr);
    if (utf8 == nullptr) throw PyErrorSet{};
    add_attribute(module, utf8, reinterpret_cast<PyObject*>(type));
  }
};

int exec_module(PyObject* module) noexcept {
  return guarded(-1, [&] {
    // The classes are created once and shared by the whole process, so they
    // can belong to one interpreter only: the main one.
    if (PyInterpreterState_GetID(PyInterpreterState_Get()) != 0)
      raise(PyExc_ImportError,
            "velomap cannot be imported in a subinterpreter: its classes belong to the main "
            "interpreter");
    Ref all = Ref::checked(PyList_New(0));
    add_attribute(module, "__all__", all.get());
    const Registry reg{module, all.get()};
    reg(MapClass<ElasticScheme>::create_type());
    reg(MapClass<FunnelScheme>::create_type());
    MapClass<ElasticScheme>::create_companion_types(reg);
    MapClass<FunnelScheme>::create_companion_types(reg);
    find_deque_type();
    PyObject* panic = panic_type();
    if (panic == nullptr) throw PyErrorSet{};
    add_attribute(module, "PanicException", panic);
    Ref version = Ref::checked(PyUnicode_FromString(VELOMAP_VERSION));
    add_attribute(module, "__version__", version.get());
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

PyMODINIT_FUNC PyInit_velomap(void) { return PyModuleDef_Init(&velomap::py::module_def); }
