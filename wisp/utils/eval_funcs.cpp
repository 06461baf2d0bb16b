// wisp.utils.eval_funcs: helper functions meant to be called from expressions.
#include "wisp/function.h"

using namespace wisp;

namespace {

struct Names {
  PyObject* time = intern("time");
  PyObject* strftime = intern("strftime");
  PyObject* sql_string_format = intern("sql_string_format");
};
const Names* N;

// def like(value)
Ref like(FunctionObject* f, Ref* a) {
  return call(global(f, N->sql_string_format), {a[0].get()});
}

// def time_format(date_value, format: str = "%Y-%m-%d %H:%M:%S")
Ref time_format(FunctionObject* f, Ref* a) {
  Ref strftime = getattr(global(f, N->time), N->strftime);
  Ref text = call(strftime, {a[1].get(), a[0].get()});
  return call(global(f, N->sql_string_format), {text.get()});
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "eval_funcs", nullptr, -1, nullptr, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_eval_funcs() {
  return init_module(&module_def, [](Borrowed g) {
    N = new Names();
    dict_set(g, "time", import("time"));
    // from wisp.utils.literal_tools import *
    Ref lt = import("wisp.utils.literal_tools");
    Borrowed lt_dict = PyModule_GetDict(lt.get());
    static PyObject* s_all = intern("__all__");
    Ref all = getattr_opt(lt, s_all);
    if (all) {
      Ref it = Ref::check(PyObject_GetIter(all.get()));
      while (Ref name = Ref::steal(PyIter_Next(it.get()))) dict_set(g, name, getattr(lt, name));
      if (PyErr_Occurred()) throw_error();
    } else {
      PyObject *key, *value;
      Py_ssize_t pos = 0;
      while (PyDict_Next(lt_dict, &pos, &key, &value)) {
        if (PyUnicode_Check(key) && PyUnicode_READ_CHAR(key, 0) != '_') dict_set(g, key, value);
      }
    }
    Ref like_f = Def("like", like).param("value").bind(g, g);
    Ref time_format_f = Def("time_format", time_format)
                            .param("date_value")
                            .param("format")
                            .annotate(reinterpret_cast<PyObject*>(&PyUnicode_Type))
                            .def(str("%Y-%m-%d %H:%M:%S"))
                            .bind(g, g);
    Ref funs = new_dict();
    dict_set(funs, "like", like_f);
    dict_set(funs, "time_format", time_format_f);
    dict_set(g, "default_fun_dict", funs);
  });
}
