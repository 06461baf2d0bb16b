// wisp.utils.arg_marks: typed placeholder expressions #{...}, ${...}, $f{...}.
#include "wisp/classes.h"

using namespace wisp;

namespace {

struct Names {
  PyObject* re = intern("re");
  PyObject* compile = intern("compile");
  PyObject* search = intern("search");
  PyObject* match = intern("match");
  PyObject* findall = intern("findall");
  PyObject* group = intern("group");
  PyObject* strip = intern("strip");
  PyObject* replace = intern("replace");
  PyObject* text = intern("text");
  PyObject* tail = intern("tail");
  PyObject* regex = intern("regex");
  PyObject* prefix = intern("prefix");
  PyObject* resolve_param = intern("resolve_param");
  PyObject* param_function_regex = intern("param_function_regex");
  PyObject* sql_regex_list = intern("sql_regex_list");
  PyObject* SqlParam = intern("SqlParam");
  PyObject* MybatisParam = intern("MybatisParam");
  PyObject* get_regex_value = intern("__get_regex_value");
  PyObject* is_function = intern("is_function");
  PyObject* param_name = intern("param_name");
  PyObject* function_expression = intern("function_expression");
  PyObject* function_name = intern("function_name");
  PyObject* sql_param = intern("sql_param");
  PyObject* full_name = intern("full_name");
  PyObject* sql_type = intern("sql_type");
  PyObject* python_type = intern("python_type");
  PyObject* type_handler = intern("type_handler");
  PyObject* name = intern("name");
  PyObject* open_brace = intern("{");
  PyObject* close_brace = intern("}");
  PyObject* empty = intern("");
  PyObject* paren = intern("(");
  PyObject* comma = intern(",");
  PyObject* non_space = intern("\\S");
  PyObject* sql_type_re = intern("(\\s*sql_type\\s*=\\s*)(?P<sql_type>\\w+)?");
  PyObject* python_type_re = intern("(\\s*python_type\\s*=\\s*)(?P<python_type>\\w+)?");
  PyObject* type_handler_re = intern("(\\s*type_handler\\s*=\\s*)(?P<type_handler>\\w+)?");
  PyObject* fn_kwnames;  // ("function_expression", "is_function", "function_name")
  PyObject* pn_kwnames;  // ("param_name",)
  PyObject* mp_kwnames;  // ("full_name", "sql_param")
};
const Names* N;

Ref first_part(Borrowed text, PyObject* sep) {
  Ref parts = Ref::check(PyUnicode_Split(text, sep, 1));
  return Ref::borrow(PyList_GET_ITEM(parts.get(), 0));
}

// ---------------------------------------------------------------------------
// class SqlParamRegex

// def __init__(self, regex: str, prefix: str)
Ref regex_init(FunctionObject* f, Ref* a) {
  Ref compiled = call_method(global(f, N->re), N->compile, {a[1].get()});
  setattr(a[0], N->regex, compiled);
  setattr(a[0], N->prefix, a[2]);
  return none();
}

// def resolve_param(self, param: str)
Ref regex_resolve_param(FunctionObject* f, Ref* a) {
  Ref prefix = getattr(a[0], N->prefix);
  Ref opener = Ref::check(PyNumber_Add(prefix.get(), N->open_brace));
  Ref param = call_method(a[1], N->replace, {opener.get(), N->empty});
  param = call_method(param, N->replace, {N->close_brace, N->empty});
  Ref m = call_method(global(f, N->param_function_regex), N->match, {param.get()});
  GlobalRef sql_param_cls = global(f, N->SqlParam);
  if (truthy(m)) {
    Ref fname = first_part(param, N->paren);
    return call_kw(sql_param_cls, {param.get(), Py_True, fname.get()}, N->fn_kwnames);
  }
  Ref pname = first_part(param, N->comma);
  return call_kw(sql_param_cls, {pname.get()}, N->pn_kwnames);
}

// ---------------------------------------------------------------------------
// class SqlParam

// def __init__(self, param_name: str = None, function_expression: str = None,
//              is_function: bool = False, function_name: str = None)
Ref sqlparam_init(FunctionObject*, Ref* a) {
  setattr(a[0], N->is_function, a[3]);
  setattr(a[0], N->param_name, a[1]);
  setattr(a[0], N->function_expression, a[2]);
  setattr(a[0], N->function_name, a[4]);
  return none();
}

Ref str_of(Borrowed obj, PyObject* attr) {
  Ref v = getattr(obj, attr);
  return Ref::check(PyObject_Str(v.get()));
}

// def __str__(self)
Ref sqlparam_str(FunctionObject*, Ref* a) {
  static PyObject* l1 = intern("is_function:");
  static PyObject* l2 = intern(" ,param_name:");
  static PyObject* l3 = intern(",function_expression:");
  static PyObject* l4 = intern(",function_name:");
  Borrowed s = a[0];
  return concat({l1, str_of(s, N->is_function).get(), l2, str_of(s, N->param_name).get(), l3,
                 str_of(s, N->function_expression).get(), l4, str_of(s, N->function_name).get()});
}

// ---------------------------------------------------------------------------
// class MybatisParam

// def __init__(self, sql_param: "SqlParam", full_name: str = None, sql_type: str = None,
//              python_type: str = None, type_handler: str = None)
Ref mybatis_init(FunctionObject*, Ref* a) {
  Borrowed self = a[0];
  setattr(self, N->sql_param, a[1]);
  setattr(self, N->full_name, a[2]);
  setattr(self, N->sql_type, a[3]);
  setattr(self, N->python_type, a[4]);
  setattr(self, N->type_handler, a[5]);
  setattr(self, N->param_name, getattr(a[1], N->param_name));
  return none();
}

// def __str__(self)
Ref mybatis_str(FunctionObject*, Ref* a) {
  static PyObject* l1 = intern("sql_param:");
  static PyObject* l2 = intern(" ,full_name:");
  static PyObject* l3 = intern(",sql_type:");
  static PyObject* l4 = intern(",python_type:");
  static PyObject* l5 = intern(",type_handler:");
  static PyObject* l6 = intern(",param_name:");
  Borrowed s = a[0];
  return concat({l1, str_of(s, N->sql_param).get(), l2, str_of(s, N->full_name).get(), l3,
                 str_of(s, N->sql_type).get(), l4, str_of(s, N->python_type).get(), l5,
                 str_of(s, N->type_handler).get(), l6, str_of(s, N->param_name).get()});
}

// ---------------------------------------------------------------------------
// Module functions

// The scan shared by get_params and get_sql_param.
Ref scan(FunctionObject* f, Borrowed param_text) {
  Ref param_list = new_list();
  Ref regexes = Ref::check(PyObject_GetIter(global(f, N->sql_regex_list)));
  while (Ref regex = Ref::steal(PyIter_Next(regexes.get()))) {
    Ref pattern = getattr(regex, N->regex);
    Ref sql_param = call_method(pattern, N->findall, {param_text});
    // Distinct matches, in order of first occurrence.
    Ref seen = Ref::check(PySet_New(nullptr));
    Ref tmp_params = new_list();
    Ref it = Ref::check(PyObject_GetIter(sql_param.get()));
    while (Ref m = Ref::steal(PyIter_Next(it.get()))) {
      if (check(PySet_Contains(seen.get(), m.get()))) continue;
      check(PySet_Add(seen.get(), m.get()));
      list_append(tmp_params, m);
    }
    if (PyErr_Occurred()) throw_error();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(tmp_params.get()); ++i) {
      Borrowed match = PyList_GET_ITEM(tmp_params.get(), i);
      Ref param = call_method(regex, N->resolve_param, {match});
      Ref mybatis_param = call_kw(global(f, N->MybatisParam), {match, param.get()}, N->mp_kwnames);
      if (!truthy(getattr(param, N->is_function))) {
        setattr(mybatis_param, N->name, getattr(param, N->param_name));
        GlobalRef get_value = global(f, N->get_regex_value);
        setattr(mybatis_param, N->sql_type, call(get_value, {N->sql_type_re, match, N->sql_type}));
        setattr(mybatis_param, N->python_type,
                call(get_value, {N->python_type_re, match, N->python_type}));
        setattr(mybatis_param, N->type_handler,
                call(get_value, {N->type_handler_re, match, N->type_handler}));
      }
      list_append(param_list, mybatis_param);
    }
  }
  if (PyErr_Occurred()) throw_error();
  return param_list;
}

// def get_params(child)
Ref get_params(FunctionObject* f, Ref* a) {
  Borrowed child = a[0];
  Ref p = call_method(global(f, N->re), N->compile, {N->non_space});
  Ref child_text = getattr(child, N->text);
  if (!truthy(child_text)) child_text = Ref::borrow(N->empty);
  Ref child_tail = getattr(child, N->tail);
  if (!truthy(child_tail)) child_tail = Ref::borrow(N->empty);
  if (!truthy(call_method(p, N->search, {child_text.get()}))) child_text = Ref::borrow(N->empty);
  if (!truthy(call_method(p, N->search, {child_tail.get()}))) child_tail = Ref::borrow(N->empty);
  Ref text = Ref::check(PyNumber_Add(child_text.get(), child_tail.get()));
  return scan(f, text);
}

// def __get_regex_value(regex: str, param: str, group: str)
Ref get_regex_value(FunctionObject* f, Ref* a) {
  Ref m = call_method(global(f, N->re), N->search, {a[0].get(), a[1].get()});
  if (!truthy(m)) return none();
  Ref value = call_method(m, N->group, {a[2].get()});
  return call_method(value, N->strip, {});
}

// def get_sql_param(param_text)
Ref get_sql_param(FunctionObject* f, Ref* a) {
  return scan(f, a[0]);
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "arg_marks", nullptr, -1, nullptr, nullptr, nullptr, nullptr, nullptr};

Ref keyword_list(std::initializer_list<const char*> words) {
  Ref l = new_list();
  for (const char* w : words) list_append(l, str(w));
  return l;
}

}  // namespace

PyMODINIT_FUNC PyInit_arg_marks() {
  return init_module(&module_def, [](Borrowed g) {
    auto* names = new Names();
    names->fn_kwnames =
        tuple({names->function_expression, names->is_function, names->function_name}).release();
    names->pn_kwnames = tuple({names->param_name}).release();
    names->mp_kwnames = tuple({names->full_name, names->sql_param}).release();
    N = names;
    PyObject* str_t = reinterpret_cast<PyObject*>(&PyUnicode_Type);
    PyObject* bool_t = reinterpret_cast<PyObject*>(&PyBool_Type);

    Ref re = import("re");
    dict_set(g, "re", re);

    Ref type_mapping = new_dict();
    dict_set(type_mapping, "NUM",
             keyword_list({"TINYINT", "SMALLINT", "INTEGER", "BIGINT", "BIT", "DECIMAL", "DOUBLE",
                           "FLOAT", "NUMERIC"}));
    dict_set(type_mapping, "BOOLEAN", keyword_list({"BOOLEAN"}));
    dict_set(type_mapping, "DATE", keyword_list({"DATE", "TIME", "TIMESTAMP"}));
    dict_set(type_mapping, "STRING",
             keyword_list({"CHAR", "VARCHAR", "NCHAR", "NVARCHAR", "LONGNVARCHAR", "LONGVARCHAR"}));
    dict_set(type_mapping, "BINARY",
             keyword_list({"BINARY", "VARBINARY", "LONGVARBINARY", "BLOB"}));
    dict_set(
        type_mapping, "OTHER",
        keyword_list({"ARRAY", "CLOB", "CURSOR", "DATALINK", "DATETIMEOFFSET", "DISTINCT", "NCLOB",
                      "NULL", "OTHER", "REAL", "REF", "ROWID", "SQLXML", "STRUCT", "UNDEFINED"}));
    dict_set(g, "type_mapping", type_mapping);
    dict_set(g, "param_function_regex", call_method(re, N->compile, {str(".+?\\(.+?\\)").get()}));

    ClassBuilder regex_cls("SqlParamRegex", g);
    Def regex_init_def("__init__", regex_init);
    regex_init_def.param("self").param("regex").annotate(str_t).param("prefix").annotate(str_t);
    regex_cls.method(regex_init_def);
    Def resolve_def("resolve_param", regex_resolve_param);
    resolve_def.param("self").param("param").annotate(str_t);
    regex_cls.method(resolve_def);
    Ref SqlParamRegex = regex_cls.make();
    dict_set(g, "SqlParamRegex", SqlParamRegex);

    ClassBuilder param_cls("SqlParam", g);
    Def param_init_def("__init__", sqlparam_init);
    param_init_def.param("self")
        .param("param_name")
        .annotate(str_t)
        .def(Py_None)
        .param("function_expression")
        .annotate(str_t)
        .def(Py_None)
        .param("is_function")
        .annotate(bool_t)
        .def(Py_False)
        .param("function_name")
        .annotate(str_t)
        .def(Py_None);
    param_cls.method(param_init_def);
    Def param_str_def("__str__", sqlparam_str);
    param_str_def.param("self");
    param_cls.method(param_str_def);
    dict_set(g, "SqlParam", param_cls.make());

    ClassBuilder mybatis_cls("MybatisParam", g);
    Def mybatis_init_def("__init__", mybatis_init);
    mybatis_init_def.param("self")
        .param("sql_param")
        .annotate("SqlParam", Check::Any)
        .param("full_name")
        .annotate(str_t)
        .def(Py_None)
        .param("sql_type")
        .annotate(str_t)
        .def(Py_None)
        .param("python_type")
        .annotate(str_t)
        .def(Py_None)
        .param("type_handler")
        .annotate(str_t)
        .def(Py_None);
    mybatis_cls.method(mybatis_init_def);
    Def mybatis_str_def("__str__", mybatis_str);
    mybatis_str_def.param("self");
    mybatis_cls.method(mybatis_str_def);
    dict_set(g, "MybatisParam", mybatis_cls.make());

    Ref regex_list = new_list();
    list_append(regex_list, call(SqlParamRegex, {str("\\#\\{.+?\\}").get(), str("#").get()}));
    list_append(regex_list, call(SqlParamRegex, {str("\\$\\{.+?\\}").get(), str("$").get()}));
    list_append(regex_list, call(SqlParamRegex, {str("\\$f\\{.+?\\}").get(), str("$f").get()}));
    dict_set(g, "sql_regex_list", regex_list);

    Def("get_params", get_params)
        .doc(
            "\n"
            "    Get SQL Params\n"
            "    example: #{param_name}\n"
            "    prefix: '#','$','$f'\n"
            "    :return:\n"
            "    ")
        .param("child")
        .bind(g, g);
    Def("__get_regex_value", get_regex_value)
        .param("regex")
        .annotate(str_t)
        .param("param")
        .annotate(str_t)
        .param("group")
        .annotate(str_t)
        .bind(g, g);
    Def("get_sql_param", get_sql_param)
        .doc(
            "\n"
            "    Get SQL Params\n"
            "    example: #{age,pythonType=int,sqlType=NUMERIC,typeHandler=MyTypeHandler}\n"
            "    change: '#','$'\n"
            "    :return:\n"
            "    ")
        .param("param_text")
        .bind(g, g);
  });
}
