// wisp._command: the command line, run as `python -m wisp`.
//
//     python -m wisp check PATH... [--import MODULE]...
//         Checks mapper files (and folders of them) before they run; with
//         --import, also the BaseMapper and AsyncBaseMapper subclasses of the
//         modules imported.
//         One line per problem, FILE:LINE: message; status 1 when any is an
//         error.
//     python -m wisp render FILE NAMESPACE.ID [--params JSON] [--page N,SIZE]
//         Prints what a statement becomes for the parameters: its SQL and
//         bind values, and with --page the count and page statements. A
//         resultType that cannot be resolved where the command runs (a class
//         of the application's own script) does not stop it: rendering needs
//         no result type, and standard error says it was not resolved.
//
//     def main(argv: list[str] | None = None) -> int
//
// Names bound at import: argparse, importlib, json, sys, traceback, et,
// check_mappers, ParseMapper, Page, count_query, limit_query, BaseMapper,
// AsyncBaseMapper, main.
#include <array>

#include "wisp/function.h"
#include "wisp/protocol.h"

using namespace wisp;

namespace {

struct Names {
  PyObject *argparse = intern("argparse"), *importlib = intern("importlib"),
           *json = intern("json"), *sys = intern("sys"), *traceback = intern("traceback"),
           *et = intern("et"),
           *check_mappers = intern("check_mappers"), *ParseMapper = intern("ParseMapper"),
           *Page = intern("Page"), *count_query = intern("count_query"),
           *limit_query = intern("limit_query"), *BaseMapper = intern("BaseMapper"),
           *AsyncBaseMapper = intern("AsyncBaseMapper");
  PyObject *ArgumentParser = intern("ArgumentParser"),
           *add_subparsers = intern("add_subparsers"), *add_parser = intern("add_parser"),
           *add_argument = intern("add_argument"), *parse_args = intern("parse_args"),
           *error = intern("error"), *import_module = intern("import_module"),
           *loads = intern("loads"), *dumps = intern("dumps"), *stdout_ = intern("stdout"),
           *stderr_ = intern("stderr"), *write = intern("write"),
           *format_exception_only = intern("format_exception_only"),
           *subclasses = intern("__subclasses__"), *get_sql = intern("get_sql"),
           *namespace_ = intern("namespace"), *text = intern("text"), *compile = intern("compile"),
           *params = intern("params"), *get = intern("get"), *warning = intern("warning"),
           *command = intern("command"), *paths = intern("paths"), *modules = intern("modules"),
           *file = intern("file"), *statement = intern("statement"), *page = intern("page"),
           *page_size = intern("page_size"), *page_offset = intern("page_offset"),
           *newline = intern("\n"), *empty = intern("");
  // a mapper file's statements, indexed as ParseMapper indexes them
  PyObject *parse = intern("parse"), *getroot = intern("getroot"), *iter = intern("iter"),
           *tag = intern("tag"), *attrib = intern("attrib"), *mapper = intern("mapper"),
           *id = intern("id"), *new_ = intern("__new__"),
           *id_2_element_map = intern("id_2_element_map"),
           *result_type_map = intern("result_type_map"), *sql_type_map = intern("sql_type_map");
};
const Names* names;

// ---------------------------------------------------------------------------
// Output

void write(FunctionObject* f, PyObject* stream, Borrowed text) {
  Ref out = getattr(global(f, names->sys), stream);
  call_method(out, names->write, {text.get()});
  call_method(out, names->write, {names->newline});
}

// The exception being raised, as the interpreter shows its last line (notes
// included), on standard error after `what`; cleared.
void report_exception(FunctionObject* f, const char* command, const char* what = "") {
  if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PyError{};
  Ref exc = fetch_exception();
  Ref lines = call_method(global(f, names->traceback), names->format_exception_only, {exc.get()});
  Ref text = Ref::check(PyUnicode_Join(names->empty, lines.get()));
  text = call_method(text, intern("rstrip"), {});
  write(f, names->stderr_,
        Ref::check(PyUnicode_FromFormat("python -m wisp %s: %s%U", command, what, text.get())));
}

bool is_text(Borrowed value, const char* text) {
  return PyUnicode_Check(value.get()) && PyUnicode_CompareWithASCIIString(value, text) == 0;
}

// ---------------------------------------------------------------------------
// check

struct Subclasses {
  static constexpr const char* what = " while collecting subclasses";
};

// Every subclass of `cls`, at any depth, each once, in the order found.
void subclasses_of(Borrowed cls, Borrowed seen, Borrowed found) {
  CappedRecursion<Subclasses> depth;
  for_each(call_method(cls, names->subclasses, {}), [&](Borrowed sub) {
    if (check(PySet_Contains(seen, sub))) return;
    check(PySet_Add(seen, sub));
    list_append(found, sub);
    subclasses_of(sub, seen, found);
  });
}

int run_check(FunctionObject* f, Borrowed args) {
  Ref modules = getattr(args, names->modules);
  Ref mappers = new_list();
  Ref async_mappers = new_list();
  if (truthy(modules)) {
    bool imported = true;
    for_each(modules, [&](Borrowed module) {
      try {
        call_method(global(f, names->importlib), names->import_module, {module.get()});
      } catch (const PyError&) {
        report_exception(f, "check");
        imported = false;
      }
    });
    if (!imported) return 1;
    Ref seen = Ref::check(PySet_New(nullptr));
    subclasses_of(global(f, names->BaseMapper), seen, mappers);
    subclasses_of(global(f, names->AsyncBaseMapper), seen, async_mappers);
  }
  Ref paths = Ref::check(PySequence_Tuple(getattr(args, names->paths).get()));
  Ref keywords = new_dict();
  dict_set(keywords, "mappers", mappers);
  dict_set(keywords, "async_mappers", async_mappers);
  Ref problems =
      Ref::check(PyObject_Call(global(f, names->check_mappers).get(), paths.get(), keywords.get()));
  bool errors = false;
  for_each(problems, [&](Borrowed problem) {
    write(f, names->stdout_, str_of(problem));
    errors = errors || !truthy(getattr(problem, names->warning));
  });
  return errors ? 1 : 0;
}

// ---------------------------------------------------------------------------
// render

// The mapper file's statements as ParseMapper's constructor indexes them (the
// <mapper> element, the root or the first below it; its namespace; every
// statement element by id, in document order), with no result type resolved:
// a ParseMapper made without its constructor, whose get_sql renders as
// any other's. Raises what loading raises for a document that is not well
// formed or a statement without id.
Ref unresolved_mapper(FunctionObject* f, Borrowed file) {
  Ref cls = global(f, names->ParseMapper);
  Ref mapper = call_method(cls, names->new_, {cls.get()});
  Ref id_map = new_dict(), result_types = new_dict(), sql_types = new_dict();
  setattr(mapper, names->id_2_element_map, id_map);
  setattr(mapper, names->result_type_map, result_types);
  setattr(mapper, names->sql_type_map, sql_types);
  Ref root = call_method(call_method(global(f, names->et), names->parse, {file.get()}),
                         names->getroot, {});
  Ref element = root;
  Ref it = iterate(call_method(root, names->iter, {}));
  while (Ref el = iter_next(it)) {
    if (!equals(getattr(el, names->tag), names->mapper)) continue;
    Ref attributes = getattr(el, names->attrib);
    if (Ref ns = item_if_present(attributes, names->namespace_)) setattr(mapper, names->namespace_, ns);
    element = std::move(el);
    break;
  }
  Ref kinds = import_attr("wisp.mapper.xml_reader", "sql_id_type_list");
  for_each(element, [&](Borrowed child) {
    Ref tag = getattr(child, names->tag);
    if (!contains(kinds, tag)) return;
    Ref id = call_method(child, names->get, {names->id});
    if (id.get() == Py_None) raise(PyExc_Exception, "Missing id");
    check(PyObject_SetItem(id_map.get(), id.get(), child.get()));
    check(PyObject_SetItem(result_types.get(), id.get(), Py_None));
    check(PyObject_SetItem(sql_types.get(), id.get(), tag.get()));
  });
  return mapper;
}

// ParseMapper(file). When loading fails and the statements index without
// their result types, the failure was a result type, which rendering does
// not need: standard error shows it, and the statements render. Any other
// failure is loading's own.
Ref mapper_to_render(FunctionObject* f, Borrowed file) {
  try {
    return call(global(f, names->ParseMapper), {file.get()});
  } catch (const PyError&) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
    Ref failure = fetch_exception();
    Ref mapper;
    try {
      mapper = unresolved_mapper(f, file);
    } catch (const PyError&) {
      if (!clear_ordinary_exception()) throw;
      restore_exception(std::move(failure));
      throw PyError{};
    }
    restore_exception(std::move(failure));
    report_exception(f, "render",
                     "warning: a result type is not resolved here (rendering needs none): ");
    return mapper;
  }
}

int run_render(FunctionObject* f, Borrowed args, Borrowed parser) {
  Ref file = getattr(args, names->file);
  Ref statement = getattr(args, names->statement);
  Ref parts = Ref::check(PyUnicode_RPartition(statement.get(), str(".").get()));
  Ref ns = Ref::borrow(PyTuple_GET_ITEM(parts.get(), 0));
  Ref id = Ref::borrow(PyTuple_GET_ITEM(parts.get(), 2));
  if (PyUnicode_GET_LENGTH(ns.get()) == 0 || PyUnicode_GET_LENGTH(id.get()) == 0) {
    call_method(parser, names->error,
                {Ref::check(PyUnicode_FromFormat("statement %R: NAMESPACE.ID expected",
                                                 statement.get()))
                     .get()});
  }
  Ref params;
  try {
    params =
        call_method(global(f, names->json), names->loads, {getattr(args, names->params).get()});
  } catch (const PyError&) {
    report_exception(f, "render");
    return 1;
  }
  if (!PyDict_CheckExact(params.get())) {
    call_method(parser, names->error, {str("--params: a JSON object expected").get()});
  }
  Ref page_arg = getattr(args, names->page);
  Ref page;
  if (page_arg.get() != Py_None) {
    Ref numbers = Ref::check(PyUnicode_Split(page_arg.get(), str(",").get(), -1));
    PyObject* n = nullptr;
    PyObject* size = nullptr;
    Ref num, sz;
    if (PyList_GET_SIZE(numbers.get()) == 2) {
      num = Ref::steal(PyLong_FromUnicodeObject(PyList_GET_ITEM(numbers.get(), 0), 10));
      if (num) sz = Ref::steal(PyLong_FromUnicodeObject(PyList_GET_ITEM(numbers.get(), 1), 10));
      if (!sz) PyErr_Clear();
      n = num.get();
      size = sz.get();
    }
    if (!n || !size) {
      call_method(parser, names->error, {str("--page: N,SIZE expected (two whole numbers)").get()});
    }
    page = call(global(f, names->Page), {n, size});
  }

  try {
    Ref mapper = mapper_to_render(f, file);
    Ref declared = getattr(mapper, names->namespace_);
    if (!check(PyObject_RichCompareBool(declared.get(), ns.get(), Py_EQ))) {
      write(f, names->stderr_,
            Ref::check(PyUnicode_FromFormat(
                "python -m wisp render: %U declares namespace %R, not %R", file.get(),
                declared.get(), ns.get())));
      return 1;
    }
    Ref result = call_method(mapper, names->get_sql, {id.get(), params.get()});
    auto [clause, binds, kind, result_type] = unpack<4>(result);
    Ref dumps = getattr(global(f, names->json), names->dumps);
    auto json_of = [&](Borrowed value) {
      return call_kwargs(dumps, {value.get()},
                         {{"ensure_ascii", Py_False},
                          {"default", reinterpret_cast<PyObject*>(&PyUnicode_Type)}});
    };
    write(f, names->stdout_, getattr(clause, names->text));
    write(f, names->stdout_, concat({str("binds: ").get(), json_of(binds).get()}));
    if (page) {
      Ref count = call(global(f, names->count_query), {clause.get()});
      Ref limited = call(global(f, names->limit_query), {clause.get(), page.get()});
      Ref bound = getattr(call_method(limited, names->compile, {}), names->params);
      Ref page_binds = new_dict();
      for (PyObject* key : {names->page_size, names->page_offset}) {
        dict_set(page_binds, key, call_method(bound, names->get, {key}));
      }
      write(f, names->stdout_, concat({str("count: ").get(), getattr(count, names->text).get()}));
      write(f, names->stdout_, concat({str("page: ").get(), getattr(limited, names->text).get()}));
      write(f, names->stdout_, concat({str("page binds: ").get(), json_of(page_binds).get()}));
    }
  } catch (const PyError&) {
    report_exception(f, "render");
    return 1;
  }
  return 0;
}

// ---------------------------------------------------------------------------
// main

// The parser, and its render command's (whose usage a wrong render argument
// shows).
std::array<Ref, 2> new_parser(FunctionObject* f) {
  Ref argparse = global(f, names->argparse);
  Ref parser = call_kwargs(getattr(argparse, names->ArgumentParser), {},
                           {{"prog", str("python -m wisp").get()},
                            {"description", str("Check mapper files, or show what a statement "
                                                "renders to, without a database.")
                                                .get()}});
  Ref commands = call_kwargs(getattr(parser, names->add_subparsers), {},
                             {{"dest", names->command}, {"required", Py_True}});
  Ref check_cmd = call_kwargs(
      getattr(commands, names->add_parser), {str("check").get()},
      {{"help", str("check mapper files before they run; status 1 on any error").get()}});
  call_kwargs(getattr(check_cmd, names->add_argument), {names->paths},
              {{"nargs", str("+").get()},
               {"metavar", str("PATH").get()},
               {"help", str("a mapper file, or a folder of them (*.xml at any depth)").get()}});
  call_kwargs(getattr(check_cmd, names->add_argument), {str("--import").get()},
              {{"dest", names->modules},
               {"action", str("append").get()},
               {"default", new_list().get()},
               {"metavar", str("MODULE").get()},
               {"help", str("import MODULE first and check its BaseMapper and AsyncBaseMapper "
                            "subclasses against the statements of their namespaces")
                            .get()}});
  Ref render_cmd =
      call_kwargs(getattr(commands, names->add_parser), {str("render").get()},
                  {{"help", str("print the SQL and bind values a statement renders to").get()}});
  call_kwargs(getattr(render_cmd, names->add_argument), {names->file},
              {{"metavar", str("FILE").get()}, {"help", str("the mapper file").get()}});
  call_kwargs(getattr(render_cmd, names->add_argument), {names->statement},
              {{"metavar", str("NAMESPACE.ID").get()}, {"help", str("the statement").get()}});
  call_kwargs(getattr(render_cmd, names->add_argument), {str("--params").get()},
              {{"default", str("{}").get()},
               {"metavar", str("JSON").get()},
               {"help", str("the parameters, a JSON object").get()}});
  call_kwargs(getattr(render_cmd, names->add_argument), {str("--page").get()},
              {{"metavar", str("N,SIZE").get()},
               {"help", str("also print the count and page statements for page N").get()}});
  return {parser, render_cmd};
}

// def main(argv: list[str] | None = None) -> int
struct MainArgs {
  Ref argv;
};
Ref main_body(FunctionObject* f, MainArgs& a) {
  auto [parser, render_parser] = new_parser(f);
  Ref args = call_method(parser, names->parse_args, {a.argv.get()});
  int status = is_text(getattr(args, names->command), "check") ? run_check(f, args)
                                                            : run_render(f, args, render_parser);
  return Ref::check(PyLong_FromLong(status));
}

}  // namespace

WISP_MODULE(_command, names, g) {
  for (const char* module : {"argparse", "importlib", "json", "sys", "traceback"}) {
    dict_set(g, module, import(module));
  }
  dict_set(g, "et", import("xml.etree.ElementTree"));
  dict_set(g, "check_mappers", import_attr("wisp.mapper.xml_reader", "check_mappers"));
  dict_set(g, "ParseMapper", import_attr("wisp.mapper.xml_reader", "ParseMapper"));
  for (const char* name : {"Page", "count_query", "limit_query"}) {
    dict_set(g, name, import_attr("wisp.db.query_runner", name));
  }
  dict_set(g, "BaseMapper", import_attr("wisp.wisp", "BaseMapper"));
  dict_set(g, "AsyncBaseMapper", import_attr("wisp.wisp", "AsyncBaseMapper"));
  Ref list_of_str =
      Ref::check(PyObject_GetItem(Borrowed(&PyList_Type), Borrowed(&PyUnicode_Type)));
  Ref argv_type = Ref::check(PyNumber_Or(list_of_str.get(), Py_None));
  Def::of<main_body>("main")
      .doc("python -m wisp: check mapper files, or print what a statement renders to.\n"
           "Returns the exit status.")
      .param("argv", &MainArgs::argv)
      .annotate(argv_type, Check::Any)
      .def(Py_None)
      .returns(&PyLong_Type)
      .bind(g, g);
}
