// wisp.mapper.xml_reader: mapper XML files, dynamic SQL rendering and
// prepared statements. The module binds its names in the order of its Python
// surface; ParseMapper's methods live in the sources of their concern (see
// xml_reader.h).
#include "xml_reader.h"

namespace wisp::xml {

const Names* names;
State state;

void init_state() {
  state.tags = new_dict().release();
  for (long i = 0; i < kTagCount; ++i)
    dict_set(state.tags, names->tags[i], Ref::check(PyLong_FromLong(i)));
  state.code_cache = new_dict().release();
  state.loop_cache = new_dict().release();
  state.paths = call(import_attr("weakref", "WeakKeyDictionary")).release();
  state.builtin_eval = import_attr("builtins", "eval").release();
  state.clauses = &ClauseCache::shared();
  state.finished = new LruCache();
  state.element_type = import_attr("xml.etree.ElementTree", "Element").release();
  state.mapping_type = import_attr("collections.abc", "Mapping").release();
  auto* comma = new std::vector<Piece>();
  comma->push_back(text_piece(Ref::borrow(names->comma)));
  state.comma = comma;
}

}  // namespace wisp::xml

using namespace wisp;
using namespace wisp::xml;

WISP_MODULE(xml_reader, names, g) {
  Ref re = import("re");
  dict_set(g, "re", re);
  dict_set(g, "et", import("xml.etree.ElementTree"));
  Ref text_fn = import_attr("sqlalchemy", "text");
  dict_set(g, "text", text_fn);
  Ref text_clause = import_attr("sqlalchemy", "TextClause");
  dict_set(g, "TextClause", text_clause);
  Ref probe = import("wisp.utils.class_probe");
  for (PyObject* name : {names->get_type_from_string, names->is_container_type_by_str}) {
    dict_set(g, name, getattr(probe, name));
  }
  Ref kinds = new_list();
  for (PyObject* k : {names->sql, names->select, names->insert, names->update, names->delete_})
    list_append(kinds, k);
  dict_set(g, "sql_id_type_list", kinds);
  Ref compile = getattr(re, "compile");
  dict_set(g, "param_pattern", call(compile, {str("#{([a-zA-Z0-9_\\-]+)}").get()}));
  dict_set(g, "replace_pattern", call(compile, {str("\\${([a-zA-Z0-9_\\-]+)}").get()}));
  init_state();

  Ref prepared = Ref::check(PyObject_GetItem(
      Borrowed(&PyTuple_Type), tuple({text_clause.get(), Borrowed(&PyDict_Type)}).get()));

  ClassBuilder cls("ParseMapper", g);
  bind_index(cls);                // __init__, get_sql, list_statement
  bind_rendering(cls);            // _trim_prefix, _trim_suffix, parse_element
  bind_finishing(cls, prepared);  // _format_sql, to_prepared_statement, to_replace,
                                  // select, update, delete, insert
  bind_missing_attribute(cls);    // __getattr__: notes on a missing namespace
  dict_set(g, "ParseMapper", cls.make());
  bind_checking(g);  // MapperProblem, check_mappers
}
