// wisp.utils.literal_tools: CDATA handling and SQL literal formatting.
#include "wisp/function.h"

using namespace wisp;

namespace {

struct Names {
  // module globals and methods
  PyObject *re = intern("re"), *compile = intern("compile"), *search = intern("search"),
           *group = intern("group"), *replace = intern("replace"),
           *convert_cdata = intern("convert_cdata"),
           *sql_string_format = intern("sql_string_format");
  PyObject* cdata_pattern = intern("(<!\\[CDATA\\[)([\\s\\S]*?)(\\]\\]>)");
  PyObject *quote = intern("'"), *null = intern("null");
  // the XML entities and the characters they stand for
  PyObject *amp = intern("&"), *lt = intern("<"), *gt = intern(">"), *dq = intern("\""),
           *amp_e = intern("&amp;"), *lt_e = intern("&lt;"), *gt_e = intern("&gt;"),
           *dq_e = intern("&quot;");
};
const Names* names;

// value.replace(old, new), through the method for anything but an exact str
Ref replace_all(Ref value, PyObject* old_text, PyObject* new_text) {
  if (PyUnicode_CheckExact(value.get())) {
    return Ref::check(PyUnicode_Replace(value.get(), old_text, new_text, -1));
  }
  return call_method(value, names->replace, {old_text, new_text});
}

// def replace_cdata(raw_text)
Ref replace_cdata(FunctionObject* f, Ref* a) {
  Borrowed raw_text = a[0];
  Ref two = Ref::check(PyLong_FromLong(2));
  Ref cdata_regex = call_method(global(f, names->re), names->compile, {names->cdata_pattern});
  Ref match = call_method(cdata_regex, names->search, {raw_text});
  if (match.get() == Py_None) return Ref::borrow(raw_text);
  Ref content = call_method(match, names->group, {two.get()});
  Ref cdata_text = call(global(f, names->convert_cdata), {content.get(), Py_True});
  Ref whole = call_method(match, names->group, {});
  return call_method(raw_text, names->replace, {whole.get(), cdata_text.get()});
}

struct ConvertCdata {
  Ref string, reverse;
};

// def convert_cdata(string, reverse=False)
Ref convert_cdata(FunctionObject*, ConvertCdata& args) {
  Ref s = args.string;
  if (truthy(args.reverse)) {
    s = replace_all(std::move(s), names->amp, names->amp_e);
    s = replace_all(std::move(s), names->lt, names->lt_e);
    s = replace_all(std::move(s), names->gt, names->gt_e);
    return replace_all(std::move(s), names->dq, names->dq_e);
  }
  s = replace_all(std::move(s), names->amp_e, names->amp);
  s = replace_all(std::move(s), names->lt_e, names->lt);
  s = replace_all(std::move(s), names->gt_e, names->gt);
  return replace_all(std::move(s), names->dq_e, names->dq);
}

// def sql_string_format(sql_str_value: str)
Ref sql_string_format(FunctionObject*, Ref* a) {
  Ref value = a[0];
  Py_ssize_t n = PyUnicode_GET_LENGTH(value.get());
  if (n == 0 || PyUnicode_READ_CHAR(value.get(), 0) != '\'') {
    value = concat({names->quote, value.get()});
    ++n;
  }
  if (PyUnicode_READ_CHAR(value.get(), n - 1) != '\'') value = concat({value.get(), names->quote});
  return value;
}

// def param_str(param_value)
Ref param_str(FunctionObject* f, Ref* a) {
  Borrowed v = a[0];
  if (!truthy(v)) return Ref::borrow(names->null);
  if (Py_TYPE(v.get()) == &PyUnicode_Type) return call(global(f, names->sql_string_format), {v});
  return str_of(v);
}

}  // namespace

WISP_MODULE(literal_tools, names, g) {
  dict_set(g, "re", import("re"));
  Def("replace_cdata", replace_cdata)
      .doc(
          "\n"
          "    Replace CDATA String\n"
          "    :param raw_text:\n"
          "    :return:\n"
          "    ")
      .param("raw_text")
      .bind(g, g);
  Def::of<convert_cdata>("convert_cdata")
      .doc(
          "\n"
          "    Replace CDATA String\n"
          "    :param string:\n"
          "    :param reverse:\n"
          "    :return:\n"
          "    ")
      .param("string", &ConvertCdata::string)
      .param("reverse", &ConvertCdata::reverse)
      .def(Py_False)
      .bind(g, g);
  Def("sql_string_format", sql_string_format)
      .param("sql_str_value")
      .annotate(&PyUnicode_Type)
      .bind(g, g);
  Def("param_str", param_str).param("param_value").bind(g, g);
}
