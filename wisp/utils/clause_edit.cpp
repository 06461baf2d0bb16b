// wisp.utils.clause_edit: replacing a leading or trailing SQL keyword once.
#include "wisp/function.h"

using namespace wisp;

namespace {

struct Names {
  PyObject* re = intern("re");
  PyObject* sub = intern("sub");
  PyObject* strip = intern("strip");
  PyObject* count = intern("count");
  PyObject* flags = intern("flags");
  PyObject* IGNORECASE = intern("IGNORECASE");
  PyObject* first_open = intern("^[\\s]*?(");
  PyObject* last_tail = intern(")(\\s+--.+)?$");
  PyObject* open = intern("(");
  PyObject* close = intern(")");
  PyObject* one;
  PyObject* kwnames;
};
const Names* N;

Ref strip(Borrowed s) {
  return call_method(s, N->strip, {});
}

// re.sub(regex, replace, string, count=1, flags=re.IGNORECASE)
Ref sub_once(FunctionObject* f, Borrowed regex, Borrowed replace, Borrowed string) {
  GlobalRef re = global(f, N->re);
  Ref sub = getattr(re, N->sub);
  Ref flags = getattr(re, N->IGNORECASE);
  return call_kw(sub, {regex, replace, string, N->one, flags.get()}, N->kwnames);
}

// def replace_sql_first(string: str, prefix_overrides: str, replace: str)
Ref replace_sql_first(FunctionObject* f, Ref* a) {
  Ref string = strip(a[0]);
  Ref regex = concat({N->first_open, a[1].get(), N->close});
  return sub_once(f, regex, a[2], string);
}

// def replace_sql_last(string: str, suffix_overrides: str, replace: str)
Ref replace_sql_last(FunctionObject* f, Ref* a) {
  Ref string = strip(a[0]);
  Ref regex = concat({N->open, a[1].get(), N->last_tail});
  return sub_once(f, regex, a[2], string);
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "clause_edit", nullptr, -1, nullptr, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_clause_edit() {
  return init_module(&module_def, [](Borrowed g) {
    auto* names = new Names();
    names->one = PyLong_FromLong(1);
    names->kwnames = tuple({names->count, names->flags}).release();
    N = names;
    PyObject* str_t = reinterpret_cast<PyObject*>(&PyUnicode_Type);
    dict_set(g, "re", import("re"));
    Def("replace_sql_first", replace_sql_first)
        .param("string")
        .annotate(str_t)
        .param("prefix_overrides")
        .annotate(str_t)
        .param("replace")
        .annotate(str_t)
        .bind(g, g);
    Def("replace_sql_last", replace_sql_last)
        .param("string")
        .annotate(str_t)
        .param("suffix_overrides")
        .annotate(str_t)
        .param("replace")
        .annotate(str_t)
        .bind(g, g);
  });
}
