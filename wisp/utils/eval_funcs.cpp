// wisp.utils.eval_funcs: helper functions meant to be called from expressions.
#include "wisp/function.h"
#include "wisp/protocol.h"

using namespace wisp;

namespace {

struct Names {
  PyObject *time = intern("time"), *strftime = intern("strftime"),
           *sql_string_format = intern("sql_string_format"), *all = intern("__all__");
};
const Names* names;

// def like(value)
Ref like(FunctionObject* f, Ref* a) {
  return call(global(f, names->sql_string_format), {a[0].get()});
}

struct TimeFormat {
  Ref date_value, format;
};

// def time_format(date_value, format: str = "%Y-%m-%d %H:%M:%S")
Ref time_format(FunctionObject* f, TimeFormat& args) {
  Ref strftime = getattr(global(f, names->time), names->strftime);
  Ref text = call(strftime, {args.format.get(), args.date_value.get()});
  return call(global(f, names->sql_string_format), {text.get()});
}

// from <module> import *: the names in its __all__, or else every name that
// does not start with an underscore.
void import_star(Borrowed g, const char* module_name) {
  Ref module = import(module_name);
  Ref all = getattr_opt(module, names->all);
  if (all) {
    for_each(all, [&](Borrowed name) { dict_set(g, name, getattr(module, name)); });
    return;
  }
  for_each_item(PyModule_GetDict(module.get()), [&](Borrowed name, Borrowed value) {
    if (!PyUnicode_Check(name.get())) return;
    if (PyUnicode_GET_LENGTH(name.get()) > 0 && PyUnicode_READ_CHAR(name.get(), 0) == '_') return;
    dict_set(g, name, value);
  });
}

}  // namespace

WISP_MODULE(eval_funcs, names, g) {
  dict_set(g, "time", import("time"));
  import_star(g, "wisp.utils.literal_tools");
  Ref like_f = Def("like", like).param("value").bind(g, g);
  Ref time_format_f = Def::of<time_format>("time_format")
                          .param("date_value", &TimeFormat::date_value)
                          .param("format", &TimeFormat::format)
                          .annotate(&PyUnicode_Type)
                          .def(str("%Y-%m-%d %H:%M:%S"))
                          .bind(g, g);
  Ref funs = new_dict();
  dict_set(funs, "like", like_f);
  dict_set(funs, "time_format", time_format_f);
  dict_set(g, "default_fun_dict", funs);
}
