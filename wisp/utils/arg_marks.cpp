// wisp.utils.arg_marks: typed placeholder expressions #{...}, ${...}, $f{...}.
#include <utility>

#include "wisp/classes.h"
#include "wisp/protocol.h"

using namespace wisp;

namespace {

struct Names {
  // module globals
  PyObject *re = intern("re"), *param_function_regex = intern("param_function_regex"),
           *sql_regex_list = intern("sql_regex_list"), *SqlParam = intern("SqlParam"),
           *MybatisParam = intern("MybatisParam"), *get_regex_value = intern("__get_regex_value");
  // methods of re, patterns, matches, str and elements
  PyObject *compile = intern("compile"), *search = intern("search"), *match = intern("match"),
           *findall = intern("findall"), *group = intern("group"), *strip = intern("strip"),
           *replace = intern("replace"), *text = intern("text"), *tail = intern("tail"),
           *resolve_param = intern("resolve_param");
  // attributes of the three classes
  PyObject *regex = intern("regex"), *prefix = intern("prefix"),
           *is_function = intern("is_function"), *param_name = intern("param_name"),
           *function_expression = intern("function_expression"),
           *function_name = intern("function_name"), *sql_param = intern("sql_param"),
           *full_name = intern("full_name"), *sql_type = intern("sql_type"),
           *python_type = intern("python_type"), *type_handler = intern("type_handler"),
           *name = intern("name");
  PyObject *open_brace = intern("{"), *close_brace = intern("}"), *empty = intern(""),
           *paren = intern("("), *comma = intern(","), *non_space = intern("\\S");
  // the typed attributes of a placeholder
  PyObject *sql_type_re = intern("(\\s*sql_type\\s*=\\s*)(?P<sql_type>\\w+)?"),
           *python_type_re = intern("(\\s*python_type\\s*=\\s*)(?P<python_type>\\w+)?"),
           *type_handler_re = intern("(\\s*type_handler\\s*=\\s*)(?P<type_handler>\\w+)?");
  // the labels of SqlParam.__str__ and MybatisParam.__str__
  PyObject *l_is_function = intern("is_function:"), *l_param_name_first = intern(" ,param_name:"),
           *l_function_expression = intern(",function_expression:"),
           *l_function_name = intern(",function_name:"), *l_sql_param = intern("sql_param:"),
           *l_full_name = intern(" ,full_name:"), *l_sql_type = intern(",sql_type:"),
           *l_python_type = intern(",python_type:"), *l_type_handler = intern(",type_handler:"),
           *l_param_name = intern(",param_name:");
};
const Names* names;

// Keyword names of the calls the scan makes, made at import.
struct Keywords {
  PyObject* function;  // ("function_expression", "is_function", "function_name")
  PyObject* param;     // ("param_name",)
  PyObject* mybatis;   // ("full_name", "sql_param")
} K;

Ref first_part(Borrowed text, PyObject* sep) {
  Ref parts = Ref::check(PyUnicode_Split(text, sep, 1));
  return Ref::borrow(PyList_GET_ITEM(parts.get(), 0));
}

// One labelled field of a __str__: the label, then str(self.<attr>).
struct Labelled {
  PyObject* Names::* label;
  PyObject* Names::* attr;
};

template <size_t Count>
Ref labelled_fields(Borrowed self, const Labelled (&fields)[Count]) {
  Ref parts = new_list();
  for (const Labelled& field : fields) {
    Ref value = getattr(self, names->*field.attr);
    list_append(parts, names->*field.label);
    list_append(parts, Ref::check(PyObject_Str(value.get())));
  }
  return Ref::check(PyUnicode_Join(names->empty, parts.get()));
}

// ---------------------------------------------------------------------------
// class SqlParamRegex

// def __init__(self, regex: str, prefix: str)
struct RegexInit {
  Ref self, regex, prefix;
};
Ref regex_init(FunctionObject* f, RegexInit& args) {
  Ref compiled = call_method(global(f, names->re), names->compile, {args.regex.get()});
  setattr(args.self, names->regex, compiled);
  setattr(args.self, names->prefix, args.prefix);
  return none();
}

// def resolve_param(self, param: str)
struct ResolveParam {
  Ref self, param;
};
Ref regex_resolve_param(FunctionObject* f, ResolveParam& args) {
  Ref prefix = getattr(args.self, names->prefix);
  Ref opener = Ref::check(PyNumber_Add(prefix.get(), names->open_brace));
  Ref param = call_method(args.param, names->replace, {opener.get(), names->empty});
  param = call_method(param, names->replace, {names->close_brace, names->empty});
  Ref m = call_method(global(f, names->param_function_regex), names->match, {param.get()});
  // SqlParam is looked up once the test has run: the match's truth value is
  // its own code, which may rebind the name.
  if (truthy(m)) {
    Ref fname = first_part(param, names->paren);
    return call_kw(global(f, names->SqlParam), {param.get(), Py_True, fname.get()}, K.function);
  }
  Ref pname = first_part(param, names->comma);
  return call_kw(global(f, names->SqlParam), {pname.get()}, K.param);
}

// ---------------------------------------------------------------------------
// class SqlParam

// def __init__(self, param_name: str = None, function_expression: str = None,
//              is_function: bool = False, function_name: str = None)
struct SqlParamInit {
  Ref self, param_name, function_expression, is_function, function_name;
};
Ref sqlparam_init(FunctionObject*, SqlParamInit& args) {
  setattr(args.self, names->is_function, args.is_function);
  setattr(args.self, names->param_name, args.param_name);
  setattr(args.self, names->function_expression, args.function_expression);
  setattr(args.self, names->function_name, args.function_name);
  return none();
}

// def __str__(self)
Ref sqlparam_str(FunctionObject*, Ref* a) {
  static constexpr Labelled fields[] = {
      {&Names::l_is_function, &Names::is_function},
      {&Names::l_param_name_first, &Names::param_name},
      {&Names::l_function_expression, &Names::function_expression},
      {&Names::l_function_name, &Names::function_name}};
  return labelled_fields(a[0], fields);
}

// ---------------------------------------------------------------------------
// class MybatisParam

// def __init__(self, sql_param: "SqlParam", full_name: str = None, sql_type: str = None,
//              python_type: str = None, type_handler: str = None)
struct MybatisInit {
  Ref self, sql_param, full_name, sql_type, python_type, type_handler;
};
Ref mybatis_init(FunctionObject*, MybatisInit& args) {
  Borrowed self = args.self;
  setattr(self, names->sql_param, args.sql_param);
  setattr(self, names->full_name, args.full_name);
  setattr(self, names->sql_type, args.sql_type);
  setattr(self, names->python_type, args.python_type);
  setattr(self, names->type_handler, args.type_handler);
  setattr(self, names->param_name, getattr(args.sql_param, names->param_name));
  return none();
}

// def __str__(self)
Ref mybatis_str(FunctionObject*, Ref* a) {
  static constexpr Labelled fields[] = {
      {&Names::l_sql_param, &Names::sql_param},       {&Names::l_full_name, &Names::full_name},
      {&Names::l_sql_type, &Names::sql_type},         {&Names::l_python_type, &Names::python_type},
      {&Names::l_type_handler, &Names::type_handler}, {&Names::l_param_name, &Names::param_name}};
  return labelled_fields(a[0], fields);
}

// ---------------------------------------------------------------------------
// Module functions

// The scan shared by get_params and get_sql_param.
Ref scan(FunctionObject* f, Borrowed param_text) {
  Ref param_list = new_list();
  for_each(global(f, names->sql_regex_list), [&](Borrowed regex) {
    Ref pattern = getattr(regex, names->regex);
    Ref sql_param = call_method(pattern, names->findall, {param_text});
    // Distinct matches, in order of first occurrence.
    Ref seen = Ref::check(PySet_New(nullptr));
    Ref tmp_params = new_list();
    for_each(sql_param, [&](Borrowed m) {
      if (check(PySet_Contains(seen.get(), m.get()))) return;
      check(PySet_Add(seen.get(), m.get()));
      list_append(tmp_params, m);
    });
    for_each(tmp_params, [&](Borrowed match) {
      Ref param = call_method(regex, names->resolve_param, {match});
      Ref mybatis_param = call_kw(global(f, names->MybatisParam), {match, param.get()}, K.mybatis);
      if (!truthy(getattr(param, names->is_function))) {
        setattr(mybatis_param, names->name, getattr(param, names->param_name));
        // Each call looks the helper up again: a call may rebind it.
        for (auto [attr, attr_re] : {std::pair{names->sql_type, names->sql_type_re},
                                     std::pair{names->python_type, names->python_type_re},
                                     std::pair{names->type_handler, names->type_handler_re}}) {
          setattr(mybatis_param, attr,
                  call(global(f, names->get_regex_value), {attr_re, match, attr}));
        }
      }
      list_append(param_list, mybatis_param);
    });
  });
  return param_list;
}

// def get_params(child)
Ref get_params(FunctionObject* f, Ref* a) {
  Borrowed child = a[0];
  Ref p = call_method(global(f, names->re), names->compile, {names->non_space});
  Ref child_text = getattr(child, names->text);
  if (!truthy(child_text)) child_text = Ref::borrow(names->empty);
  Ref child_tail = getattr(child, names->tail);
  if (!truthy(child_tail)) child_tail = Ref::borrow(names->empty);
  if (!truthy(call_method(p, names->search, {child_text.get()})))
    child_text = Ref::borrow(names->empty);
  if (!truthy(call_method(p, names->search, {child_tail.get()})))
    child_tail = Ref::borrow(names->empty);
  Ref text = Ref::check(PyNumber_Add(child_text.get(), child_tail.get()));
  return scan(f, text);
}

// def __get_regex_value(regex: str, param: str, group: str)
struct RegexValue {
  Ref regex, param, group;
};
Ref get_regex_value(FunctionObject* f, RegexValue& args) {
  Ref m = call_method(global(f, names->re), names->search, {args.regex.get(), args.param.get()});
  if (!truthy(m)) return none();
  Ref value = call_method(m, names->group, {args.group.get()});
  return call_method(value, names->strip, {});
}

// def get_sql_param(param_text)
Ref get_sql_param(FunctionObject* f, Ref* a) {
  return scan(f, a[0]);
}

Ref keyword_list(std::initializer_list<const char*> words) {
  Ref l = new_list();
  for (const char* w : words) list_append(l, str(w));
  return l;
}

Ref type_mapping() {
  Ref m = new_dict();
  dict_set(m, "NUM",
           keyword_list({"TINYINT", "SMALLINT", "INTEGER", "BIGINT", "BIT", "DECIMAL", "DOUBLE",
                         "FLOAT", "NUMERIC"}));
  dict_set(m, "BOOLEAN", keyword_list({"BOOLEAN"}));
  dict_set(m, "DATE", keyword_list({"DATE", "TIME", "TIMESTAMP"}));
  dict_set(m, "STRING",
           keyword_list({"CHAR", "VARCHAR", "NCHAR", "NVARCHAR", "LONGNVARCHAR", "LONGVARCHAR"}));
  dict_set(m, "BINARY", keyword_list({"BINARY", "VARBINARY", "LONGVARBINARY", "BLOB"}));
  dict_set(
      m, "OTHER",
      keyword_list({"ARRAY", "CLOB", "CURSOR", "DATALINK", "DATETIMEOFFSET", "DISTINCT", "NCLOB",
                    "NULL", "OTHER", "REAL", "REF", "ROWID", "SQLXML", "STRUCT", "UNDEFINED"}));
  return m;
}

// A class with `__init__` (bound by the caller's Def) and an optional
// `__str__`.
Ref make_class(Borrowed g, const char* name, Def& init, Impl str_body = nullptr) {
  ClassBuilder cls(name, g);
  cls.method(init);
  if (str_body) {
    Def str_def("__str__", str_body);
    str_def.param("self");
    cls.method(str_def);
  }
  return cls.make();
}

}  // namespace

WISP_MODULE(arg_marks, names, g) {
  K.function = names_tuple({"function_expression", "is_function", "function_name"}).release();
  K.param = names_tuple({"param_name"}).release();
  K.mybatis = names_tuple({"full_name", "sql_param"}).release();

  Ref re = import("re");
  dict_set(g, "re", re);
  dict_set(g, "type_mapping", type_mapping());
  dict_set(g, "param_function_regex", call_method(re, names->compile, {str(".+?\\(.+?\\)").get()}));

  // class SqlParamRegex
  Ref SqlParamRegex;
  {
    ClassBuilder cls("SqlParamRegex", g);
    Def init = Def::of<regex_init>("__init__");
    init.param("self", &RegexInit::self)
        .param("regex", &RegexInit::regex)
        .annotate(&PyUnicode_Type)
        .param("prefix", &RegexInit::prefix)
        .annotate(&PyUnicode_Type);
    cls.method(init);
    Def resolve = Def::of<regex_resolve_param>("resolve_param");
    resolve.param("self", &ResolveParam::self)
        .param("param", &ResolveParam::param)
        .annotate(&PyUnicode_Type);
    cls.method(resolve);
    SqlParamRegex = cls.make();
    dict_set(g, "SqlParamRegex", SqlParamRegex);
  }

  Def param_init = Def::of<sqlparam_init>("__init__");
  param_init.param("self", &SqlParamInit::self)
      .param("param_name", &SqlParamInit::param_name)
      .annotate(&PyUnicode_Type)
      .def(Py_None)
      .param("function_expression", &SqlParamInit::function_expression)
      .annotate(&PyUnicode_Type)
      .def(Py_None)
      .param("is_function", &SqlParamInit::is_function)
      .annotate(&PyBool_Type)
      .def(Py_False)
      .param("function_name", &SqlParamInit::function_name)
      .annotate(&PyUnicode_Type)
      .def(Py_None);
  dict_set(g, "SqlParam", make_class(g, "SqlParam", param_init, sqlparam_str));

  Def mybatis = Def::of<mybatis_init>("__init__");
  mybatis.param("self", &MybatisInit::self)
      .param("sql_param", &MybatisInit::sql_param)
      .annotate("SqlParam", Check::Any)
      .param("full_name", &MybatisInit::full_name)
      .annotate(&PyUnicode_Type)
      .def(Py_None)
      .param("sql_type", &MybatisInit::sql_type)
      .annotate(&PyUnicode_Type)
      .def(Py_None)
      .param("python_type", &MybatisInit::python_type)
      .annotate(&PyUnicode_Type)
      .def(Py_None)
      .param("type_handler", &MybatisInit::type_handler)
      .annotate(&PyUnicode_Type)
      .def(Py_None);
  dict_set(g, "MybatisParam", make_class(g, "MybatisParam", mybatis, mybatis_str));

  Ref regex_list = new_list();
  for (auto [pattern, prefix] : {std::pair{"\\#\\{.+?\\}", "#"}, std::pair{"\\$\\{.+?\\}", "$"},
                                 std::pair{"\\$f\\{.+?\\}", "$f"}}) {
    list_append(regex_list, call(SqlParamRegex, {str(pattern).get(), str(prefix).get()}));
  }
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
  Def::of<get_regex_value>("__get_regex_value")
      .param("regex", &RegexValue::regex)
      .annotate(&PyUnicode_Type)
      .param("param", &RegexValue::param)
      .annotate(&PyUnicode_Type)
      .param("group", &RegexValue::group)
      .annotate(&PyUnicode_Type)
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
}
