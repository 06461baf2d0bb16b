// wisp.mapper.xml_reader: mapper XML files, dynamic SQL rendering and
// prepared statements. The module binds its names in the order of its Python
// surface; ParseMapper's methods live in the sources of their concern (see
// xml_reader.h).
#include "wisp/classes.h"
#include "xml_reader.h"

namespace wisp::xml {

const Names* N;
State S;

void init_state(Borrowed text_fn) {
  S.tags = new_dict().release();
  for (long i = 0; i < 10; ++i) dict_set(S.tags, N->tags[i], Ref::check(PyLong_FromLong(i)));
  S.code_cache = new_dict().release();
  S.loop_cache = new_dict().release();
  S.paths = call(import_attr("weakref", "WeakKeyDictionary")).release();
  S.builtin_eval = import_attr("builtins", "eval").release();
  S.clauses = new ClauseCache(text_fn);
  S.finished = new LruCache();
  S.element_type = import_attr("xml.etree.ElementTree", "Element").release();
  auto* comma = new std::vector<Piece>();
  comma->push_back(text_piece(Ref::borrow(N->comma)));
  S.comma = comma;
}

}  // namespace wisp::xml

using namespace wisp;
using namespace wisp::xml;

WISP_MODULE(xml_reader, N, g) {
  Ref re = import("re");
  dict_set(g, "re", re);
  dict_set(g, "et", import("xml.etree.ElementTree"));
  Ref text_fn = import_attr("sqlalchemy", "text");
  dict_set(g, "text", text_fn);
  Ref text_clause = import_attr("sqlalchemy", "TextClause");
  dict_set(g, "TextClause", text_clause);
  Ref probe = import("wisp.utils.class_probe");
  for (PyObject* name : {N->get_type_from_string, N->is_container_type_by_str}) {
    dict_set(g, name, getattr(probe, name));
  }
  Ref kinds = new_list();
  for (PyObject* k : {N->sql, N->select, N->insert, N->update, N->delete_}) list_append(kinds, k);
  dict_set(g, "sql_id_type_list", kinds);
  Ref compile = getattr(re, "compile");
  dict_set(g, "param_pattern", call(compile, {str("#{([a-zA-Z0-9_\\-]+)}").get()}));
  dict_set(g, "replace_pattern", call(compile, {str("\\${([a-zA-Z0-9_\\-]+)}").get()}));
  init_state(text_fn);

  Ref set_of_str = Ref::check(PyObject_GetItem(Borrowed(&PySet_Type), Borrowed(&PyUnicode_Type)));
  Ref prepared = Ref::check(PyObject_GetItem(
      Borrowed(&PyTuple_Type), tuple({text_clause.get(), Borrowed(&PyDict_Type)}).get()));

  ClassBuilder cls("ParseMapper", g);
  Def init_def = Def::of<xml::init>("__init__");
  init_def.param("self", &InitArgs::self)
      .param("xml_path", &InitArgs::xml_path)
      .annotate(&PyUnicode_Type)
      .def(Py_None);
  cls.method(init_def);

  Def get_sql_def = Def::of<get_sql>("get_sql");
  get_sql_def
      .doc(
          "\n"
          "        Get SQL Statement By sql_id\n"
          "        Formatting of SQL Statements\n"
          "        :return:\n"
          "        ")
      .param("self", &GetSqlArgs::self)
      .param("sql_id", &GetSqlArgs::sql_id)
      .annotate(&PyUnicode_Type)
      .param("params", &GetSqlArgs::params)
      .annotate(&PyDict_Type)
      .def(Py_None)
      .returns(&PyTuple_Type);
  cls.method(get_sql_def);

  Def list_def("list_statement", list_statement);
  list_def.param("self");
  cls.method(list_def);

  Def prefix_def = Def::of<trim_prefix>("_trim_prefix");
  prefix_def.param("s", &TrimArgs::s)
      .annotate(&PyUnicode_Type)
      .param("prefixes", &TrimArgs::pieces)
      .annotate(set_of_str, Check::Set);
  S.trim_prefix = cls.staticmethod(prefix_def).release();

  Def suffix_def = Def::of<trim_suffix>("_trim_suffix");
  suffix_def.param("s", &TrimArgs::s)
      .annotate(&PyUnicode_Type)
      .param("suffixes", &TrimArgs::pieces)
      .annotate(set_of_str, Check::Set);
  S.trim_suffix = cls.staticmethod(suffix_def).release();

  Def parse_def = Def::of<parse_element>("parse_element");
  parse_def.param("self", &ParseElementArgs::self)
      .param("element", &ParseElementArgs::element)
      .annotate("et.Element")
      .param("param", &ParseElementArgs::param)
      .annotate(&PyDict_Type);
  S.parse_element = cls.method(parse_def).release();

  Def format_def("_format_sql", format_sql);
  format_def.param("sql");
  S.format_sql = cls.staticmethod(format_def).release();

  Def prepare_def = Def::of<to_prepared_statement>("to_prepared_statement");
  prepare_def.param("ret", &PrepareArgs::ret).param("param", &PrepareArgs::param).returns(prepared);
  S.to_prepared_statement = cls.staticmethod(prepare_def).release();

  Def replace_def = Def::of<to_replace>("to_replace");
  replace_def.param("ret", &PrepareArgs::ret)
      .param("param", &PrepareArgs::param)
      .returns(&PyUnicode_Type);
  cls.staticmethod(replace_def);

  // select, update and delete: def <kind>(self, id: str, params: dict) -> tuple[TextClause, dict]
  auto statement_def = [&](Def d) {
    d.param("self", &StatementArgs::self)
        .param("id", &StatementArgs::id)
        .annotate(&PyUnicode_Type)
        .param("params", &StatementArgs::params)
        .annotate(&PyDict_Type)
        .returns(prepared);
    return cls.method(d).release();
  };
  S.select = statement_def(Def::of<xml::select>("select"));
  S.update = statement_def(Def::of<xml::update>("update"));
  S.delete_ = statement_def(Def::of<xml::delete_>("delete"));

  Def insert_def = Def::of<xml::insert>("insert");
  insert_def.param("self", &InsertArgs::self)
      .param("id", &InsertArgs::id)
      .annotate(&PyUnicode_Type)
      .param("params", &InsertArgs::params)
      .annotate(&PyDict_Type)
      .param("primary_key", &InsertArgs::primary_key)
      .annotate(&PyUnicode_Type)
      .def(Py_None)
      .returns(prepared);
  cls.method(insert_def);
  dict_set(g, "ParseMapper", cls.make());
}
