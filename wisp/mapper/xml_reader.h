// wisp.mapper.xml_reader, what its sources share: the interned names, the
// module state, the rendering in progress, and the bodies of ParseMapper's
// methods, which the module entry binds in class order.
//
//   xml_reader.cpp    the module entry: its names and the ParseMapper class
//   xml_document.cpp  the document and statement index: loading a mapper
//                     file, get_sql and list_statement, notes on failures
//   xml_render.cpp    element rendering: expressions, dynamic elements,
//                     trimming (parse_element, _trim_prefix, _trim_suffix)
//   xml_finish.cpp    statement finishing and prepared statements (select,
//                     insert, update, delete, to_prepared_statement,
//                     to_replace, _format_sql)
//   xml_check.cpp     checking mapper files before they run (MapperProblem,
//                     check_mappers)
//   xml_text.h        the code-point buffer and its scanners
#pragma once

#include "wisp/classes.h"
#include "wisp/protocol.h"
#include "wisp/lru.h"
#include "xml_text.h"

namespace wisp::xml {

struct Names {
  // module globals the bodies read
  PyObject *et = intern("et"), *text = intern("text"),
           *get_type_from_string = intern("get_type_from_string"),
           *is_container_type_by_str = intern("is_container_type_by_str"),
           *sql_id_type_list = intern("sql_id_type_list"), *param_pattern = intern("param_pattern"),
           *replace_pattern = intern("replace_pattern"), *ParseMapper = intern("ParseMapper"),
           *dict = intern("dict");
  // ElementTree, str and re methods
  PyObject *parse = intern("parse"), *getroot = intern("getroot"), *iter = intern("iter"),
           *ParseError = intern("ParseError"), *obj = intern("obj"),
           *get = intern("get"), *tag = intern("tag"), *tail = intern("tail"),
           *attrib = intern("attrib"), *findall = intern("findall"), *replace = intern("replace"),
           *startswith = intern("startswith"), *endswith = intern("endswith"),
           *strip = intern("strip"), *split = intern("split"), *keys = intern("keys");
  // instance attributes, and methods reached through the instance or the class
  PyObject *id_2_element_map = intern("id_2_element_map"),
           *result_type_map = intern("result_type_map"), *sql_type_map = intern("sql_type_map"),
           *namespace_ = intern("namespace"), *parse_element = intern("parse_element"),
           *to_prepared_statement = intern("to_prepared_statement"),
           *format_sql = intern("_format_sql"), *trim_prefix = intern("_trim_prefix"),
           *trim_suffix = intern("_trim_suffix");
  // tags and attributes of the mapper format
  PyObject *mapper = intern("mapper"), *sql = intern("sql"), *select = intern("select"),
           *insert = intern("insert"), *update = intern("update"), *delete_ = intern("delete"),
           *id = intern("id"), *resultType = intern("resultType");
  PyObject *include = intern("include"), *if_ = intern("if"), *where = intern("where"),
           *trim = intern("trim"), *set = intern("set"), *choose = intern("choose"),
           *when = intern("when"), *otherwise = intern("otherwise"), *foreach = intern("foreach"),
           *bind = intern("bind");
  // The dynamic elements, in the order of enum Tag.
  PyObject* const tags[11] = {include, sql,  if_,       where,   trim, set,
                              choose,  when, otherwise, foreach, bind};
  PyObject *refid = intern("refid"), *test = intern("test"), *item = intern("item"),
           *collection = intern("collection"), *open = intern("open"), *close = intern("close"),
           *separator = intern("separator"), *index = intern("index"), *name = intern("name"),
           *value = intern("value"), *prefix = intern("prefix"), *suffix = intern("suffix"),
           *prefixOverrides = intern("prefixOverrides"),
           *suffixOverrides = intern("suffixOverrides");
  // Entries of a rendering's namespace that no expression can name (see
  // xml_render.cpp): the values bound for this rendering, and the names in
  // scope for collection expressions.
  PyObject *binds_key = intern("#binds"), *vars_key = intern("#vars"), *bind_base = intern("bind"),
           *item_base = intern("item"), *for_index = intern(kForIndex);
  // checking mapper files: the modules and objects it reads, and the fields
  // of MapperProblem
  PyObject *fromstring = intern("fromstring"), *read = intern("read"),
           *position = intern("position"), *fspath = intern("fspath"), *path = intern("path"),
           *isdir = intern("isdir"), *listdir = intern("listdir"), *join = intern("join"),
           *lower = intern("lower"), *xml_suffix = intern("xml"), *rb = intern("rb"),
           *ParserCreate = intern("ParserCreate"), *Parse = intern("Parse"),
           *StartElementHandler = intern("StartElementHandler"),
           *CurrentLineNumber = intern("CurrentLineNumber"), *brace = intern("}"),
           *main_prefix = intern("__main__."), *mro = intern("__mro__"),
           *dict_attr = intern("__dict__"), *name_attr = intern("__name__"),
           *func_attr = intern("__func__"), *code_attr = intern("__code__"),
           *co_filename = intern("co_filename"), *co_firstlineno = intern("co_firstlineno"),
           *file = intern("file"), *line = intern("line"), *message = intern("message"),
           *warning = intern("warning"), *MapperProblem = intern("MapperProblem"),
           *raise_ = intern("raise"), *warn = intern("warn"), *newline = intern("\n"),
           *refused_mappers = intern("mapper files have errors:\n");
  // rendering namespaces and text pieces
  PyObject *params = intern("params"), *builtins_key = intern("__builtins__"),
           *notes = intern("__notes__"), *empty = intern(""), *bar = intern("|"),
           *comma = intern(","), *blank = intern(" "), *returning = intern(" RETURNING "),
           *dollar_open = intern("${"), *close_brace = intern("}"),
           *is_list_head = intern("isinstance("), *is_list_tail = intern(",list)"),
           *copy_head = intern("[item for item in "), *copy_tail = intern("]"),
           *refused_type = intern("please check result_type: can`t set type: ");
};
extern const Names* names;

struct Piece;

// Module state, made once at import and kept for the life of the process.
struct State {
  PyObject* tags;        // tag text -> Tag, for exact str tags
  PyObject* code_cache;  // expression text -> code object
  PyObject* loop_cache;  // foreach collection text -> (list test, list copy)
  PyObject* paths;       // ParseMapper object -> mapper file (weak keys)
  PyObject* builtin_eval;
  // Our own functions, held so their identity stays theirs: a call through
  // the instance or the class that reaches one of them runs it directly.
  PyObject* parse_element;
  PyObject* to_prepared_statement;
  PyObject* format_sql;
  PyObject* trim_prefix;
  PyObject* trim_suffix;
  PyObject* select;
  PyObject* update;
  PyObject* delete_;
  // Text clauses of finished statements seen before.
  ClauseCache* clauses;
  // Statement text -> what finishing makes of it, for statements without
  // child elements (prepare_static).
  LruCache* finished;
  PyObject* element_type;           // et.Element
  PyObject* mapping_type;           // collections.abc.Mapping
  const std::vector<Piece>* comma;  // the one piece <set> trims: ","
};
extern State state;

// Makes the state's caches and pieces; at import, once the module's names
// are bound.
void init_state();

// ---------------------------------------------------------------------------
// Small helpers on Python objects

// element.attrib[name]
inline Ref attr(Borrowed el, PyObject* name) {
  return getitem(getattr(el, names->attrib), name);
}

// element.attrib.get(name, dflt)
inline Ref attr_or(Borrowed el, PyObject* name, PyObject* dflt) {
  return mapping_get(getattr(el, names->attrib), name, dflt);
}

// The dynamic elements, in the order of Names::tags; Other for any other tag.
enum class Tag {
  Include, Sql, If, Where, Trim, Set, Choose, When, Otherwise, Foreach, Bind, Other
};
constexpr int kTagCount = int(Tag::Other);
Tag classify(Borrowed tag);

// ---------------------------------------------------------------------------
// A rendering in progress

// One rendering: the object rendered for, and what went wrong, for the note
// a failure carries.
struct Render {
  PyObject* globals;  // the module namespace
  PyObject* self;
  Ref expr;                         // the expression that failed
  const char* what = "expression";  // or the "collection" that is no list, the
                                    // "placeholder" whose value is missing
  Ref tag;                          // the tag of an element that renders no text
  Ref loop;                         // the foreach collection, and the position in it,
  Py_ssize_t position = -1;         // where it happened
};

// ret += self.parse_element(child, param) for each child of `el`, each
// followed by its tail.
void render_children(Render& r, Borrowed el, Borrowed param, Chars& out);

// The values a rendering in the namespace `ns` bound itself, by placeholder
// name; null when it bound none.
Ref own_binds(Borrowed ns);

// The element with this id, checked to be of `kind` ("Missing id" or
// `wrong_kind` otherwise).
Ref statement_element(Borrowed self, Borrowed id, PyObject* kind, const char* wrong_kind);

// Adds to the exception being raised a note saying where it happened (see
// xml_document.cpp).
void note_failure(const Render& r, Borrowed self, Borrowed id);

// The mapper file a ParseMapper was loaded from; null when unknown.
Ref mapper_file(Borrowed self);

// The code object eval would compile for `text`, cached; null when eval
// should be left to report the problem itself (a NUL in the text).
Ref compiled(Borrowed text);

// ("isinstance(" + collection + ",list)", "[item for item in " + collection + "]")
Ref loop_exprs(Borrowed collection);

// The class a statement's resultType names (`dict` when None), as loading
// resolves it; `globals` is the module namespace.
Ref declared_result_type(Borrowed globals, Borrowed type_name);

// Whether `s` is an ASCII identifier: the names foreach indexes and binds
// take, and the items whose fields #{item.field} reads.
bool ascii_identifier(Borrowed s);

// ---------------------------------------------------------------------------
// ParseMapper's methods, bound by the module entry in class order, each
// group by the source of its concern.

// __init__, get_sql, list_statement
void bind_index(ClassBuilder& cls);
// __getattr__, after the class's own methods
void bind_missing_attribute(ClassBuilder& cls);
// _trim_prefix, _trim_suffix, parse_element
void bind_rendering(ClassBuilder& cls);
// _format_sql, to_prepared_statement, to_replace, select, update, delete,
// insert; `prepared` is their return annotation tuple[TextClause, dict]
void bind_finishing(ClassBuilder& cls, Borrowed prepared);
// MapperProblem and check_mappers, bound as module globals after ParseMapper
void bind_checking(Borrowed g);

// def select(self, id: str, params: dict) -> tuple[TextClause, dict], and
// update and delete alike: get_sql runs them directly.
struct StatementArgs {
  Ref self, id, params;
};
Ref select(FunctionObject* f, StatementArgs& args);
Ref update(FunctionObject* f, StatementArgs& args);
Ref delete_(FunctionObject* f, StatementArgs& args);

}  // namespace wisp::xml
