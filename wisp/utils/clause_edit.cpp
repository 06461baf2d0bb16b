// wisp.utils.clause_edit: replacing a leading or trailing SQL keyword once.
#include "wisp/function.h"

using namespace wisp;

namespace {

struct Names {
  PyObject *re = intern("re"), *sub = intern("sub"), *strip = intern("strip"),
           *IGNORECASE = intern("IGNORECASE");
  // the pattern around the keywords: ^[\s]*?(...) at the start, (...)(\s+--.+)?$ at the end
  PyObject *first_open = intern("^[\\s]*?("), *last_tail = intern(")(\\s+--.+)?$"),
           *open = intern("("), *close = intern(")");
};
const Names* names;

PyObject* one;          // count=1
PyObject* count_flags;  // ("count", "flags")

// def replace_sql_first(string: str, prefix_overrides: str, replace: str)
// def replace_sql_last(string: str, suffix_overrides: str, replace: str)
struct Replace {
  Ref string, overrides, replace;
};

// re.sub(regex, replace, string.strip(), count=1, flags=re.IGNORECASE)
Ref sub_once(FunctionObject* f, Borrowed regex, Replace& args) {
  Ref string = call_method(args.string, names->strip, {});
  GlobalRef re = global(f, names->re);
  Ref sub = getattr(re, names->sub);
  Ref flags = getattr(re, names->IGNORECASE);
  return call_kw(sub, {regex, args.replace.get(), string.get(), one, flags.get()}, count_flags);
}

Ref replace_sql_first(FunctionObject* f, Replace& args) {
  return sub_once(f, concat({names->first_open, args.overrides.get(), names->close}), args);
}

Ref replace_sql_last(FunctionObject* f, Replace& args) {
  return sub_once(f, concat({names->open, args.overrides.get(), names->last_tail}), args);
}

template <auto Body>
void bind_replace(Borrowed g, const char* name, const char* overrides) {
  Def::of<Body>(name)
      .param("string", &Replace::string)
      .annotate(&PyUnicode_Type)
      .param(overrides, &Replace::overrides)
      .annotate(&PyUnicode_Type)
      .param("replace", &Replace::replace)
      .annotate(&PyUnicode_Type)
      .bind(g, g);
}

}  // namespace

WISP_MODULE(clause_edit, names, g) {
  one = Ref::check(PyLong_FromLong(1)).release();
  count_flags = names_tuple({"count", "flags"}).release();
  dict_set(g, "re", import("re"));
  bind_replace<replace_sql_first>(g, "replace_sql_first", "prefix_overrides");
  bind_replace<replace_sql_last>(g, "replace_sql_last", "suffix_overrides");
}
