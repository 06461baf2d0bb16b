// wisp.wisp, the generic mapper:
//
//     T = TypeVar("T", bound=DeclarativeBase)
//
//     class BaseMapper(Generic[T]):
//         datasource: "dict" = None     # the data-source registry, set by WispConfig
//         default_key: "str" = None     # the primary data source's name
//         raw_sql: "bool" = False       # echo switch
//         ...                           # caches and methods, in class order
//
// Everything that needs a gateway reaches it as
// BaseMapper.datasource[get_current_db()]["db_gateway"].
#include "wisp_facade.h"

using namespace wisp;
using namespace wisp::facade;

namespace wisp::facade {

void bind_mapper(Borrowed g) {
  Ref bound = global(g, intern("DeclarativeBase"));
  Ref type_var =
      call_kwargs(global(g, intern("TypeVar")), {str("T").get()}, {{"bound", bound.get()}});
  dict_set(g, "T", type_var);

  ClassBuilder cb("BaseMapper", g);
  cb.annotated("datasource", "dict", Py_None);
  cb.annotated("default_key", "str", Py_None);
  cb.annotated("raw_sql", "bool", Py_False);
  // The caches (_sig_cache, _type_cache) and the methods follow here, in
  // class order; __getattribute__ and the mapped-method dispatch live in a
  // source of their own.

  Ref generic = getitem(global(g, intern("Generic")), type_var);
  dict_set(g, "BaseMapper", cb.make_generic(tuple({generic.get()})));
}

}  // namespace wisp::facade
