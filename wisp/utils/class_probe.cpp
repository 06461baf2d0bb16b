// wisp.utils.class_probe: classification and resolution of result types.
#include "wisp/function.h"
#include "wisp/protocol.h"

using namespace wisp;

namespace {

struct Names {
  // module globals the bodies read
  PyObject *builtins = intern("builtins"), *import_module = intern("import_module"),
           *get_origin = intern("get_origin"), *is_dataclass = intern("is_dataclass"),
           *BaseModel = intern("BaseModel"), *DeclarativeBase = intern("DeclarativeBase");
  // the container types, as the bodies name them
  PyObject *list = intern("list"), *tuple = intern("tuple"), *dict = intern("dict"),
           *set = intern("set");
  // message parts
  PyObject *dot = intern("."), *cannot_import = intern("无法导入类型 "), *colon = intern(": "),
           *unknown = intern("未知的类型: ");
};
const Names* names;

// (list, tuple, dict, set), as the body names them at call time.
Ref container_types(FunctionObject* f) {
  return tuple({global(f, names->list), global(f, names->tuple), global(f, names->dict),
                global(f, names->set)});
}

bool is_type(Borrowed o) {
  return o && o.get() != Py_None && PyType_Check(o.get());
}

struct TypeStr {
  Ref type_str;
};

// def is_container_type_by_str(type_str: str) -> bool
Ref is_container_type_by_str(FunctionObject* f, TypeStr& args) {
  Ref builtin_type = getattr_opt(global(f, names->builtins), args.type_str);
  if (!builtin_type || !truthy(builtin_type)) {
    builtin_type = dict_get_ref(f->globals, args.type_str);
  }
  if (is_type(builtin_type)) {
    return boolean(check(PyObject_IsSubclass(builtin_type.get(), container_types(f).get())));
  }
  return boolean(false);
}

// raise ValueError("无法导入类型 " + type_str + ": " + str(caught)) inside the
// handler of `caught`, which becomes its context.
[[noreturn]] void raise_cannot_import(Borrowed type_str) {
  Ref caught = fetch_exception();
  Ref text = Ref::check(PyObject_Str(caught.get()));
  Ref message = concat({names->cannot_import, type_str, names->colon, text.get()});
  PyErr_SetObject(PyExc_ValueError, message.get());
  Ref err = fetch_exception();
  PyException_SetContext(err.get(), caught.release());
  restore_exception(std::move(err));
  throw PyError{};
}

// def get_type_from_string(type_str: str)
Ref get_type_from_string(FunctionObject* f, TypeStr& args) {
  Borrowed type_str = args.type_str;
  Ref builtin_type = getattr_opt(global(f, names->builtins), type_str);
  if (is_type(builtin_type)) return builtin_type;
  Ref global_type = dict_get_ref(f->globals, type_str);
  if (is_type(global_type)) return global_type;
  if (check(PySequence_Contains(type_str, names->dot))) {
    Ref parts = Ref::check(PyUnicode_RSplit(type_str, names->dot, 1));
    auto [module_path, class_name] = unpack<2>(parts);
    Ref type_obj;
    try {
      Ref module = call(global(f, names->import_module), {module_path.get()});
      type_obj = getattr(module, class_name);
    } catch (const PyError&) {
      if (!PyErr_ExceptionMatches(PyExc_ImportError) &&
          !PyErr_ExceptionMatches(PyExc_AttributeError)) {
        throw;
      }
      raise_cannot_import(type_str);
    }
    if (PyType_Check(type_obj.get())) return type_obj;
  }
  raise(PyExc_ValueError, concat({names->unknown, type_str}));
}

Ref origin_or_self(FunctionObject* f, Borrowed obj) {
  Ref origin = call(global(f, names->get_origin), {obj});
  if (truthy(origin)) return origin;
  return Ref::borrow(obj);
}

// def is_container_type(type_obj) -> bool
Ref is_container_type(FunctionObject* f, Ref* a) {
  Ref origin_type = origin_or_self(f, a[0]);
  return boolean(check(PyObject_IsSubclass(origin_type.get(), container_types(f).get())));
}

// def get_base_type(generic_type)
Ref get_base_type(FunctionObject* f, Ref* a) {
  return origin_or_self(f, a[0]);
}

// def is_result_class(data_type)
Ref is_result_class(FunctionObject* f, Ref* a) {
  Borrowed data_type = a[0];
  if (check(PyObject_IsSubclass(data_type, global(f, names->BaseModel)))) return boolean(true);
  if (truthy(call(global(f, names->is_dataclass), {data_type}))) return boolean(true);
  if (check(PyObject_IsSubclass(data_type, global(f, names->DeclarativeBase))))
    return boolean(true);
  return boolean(false);
}

}  // namespace

WISP_MODULE(class_probe, names, g) {
  dict_set(g, "Container", import_attr("collections.abc", "Container"));
  dict_set(g, "Iterable", import_attr("collections.abc", "Iterable"));
  dict_set(g, "builtins", import("builtins"));
  dict_set(g, "is_dataclass", import_attr("dataclasses", "is_dataclass"));
  dict_set(g, "import_module", import_attr("importlib", "import_module"));
  dict_set(g, "get_origin", import_attr("typing", "get_origin"));
  dict_set(g, "List", import_attr("typing", "List"));
  dict_set(g, "BaseModel", import_attr("pydantic", "BaseModel"));
  dict_set(g, "DeclarativeBase", import_attr("sqlalchemy.orm", "DeclarativeBase"));

  Def::of<is_container_type_by_str>("is_container_type_by_str")
      .doc("判断字符串表示的类型是否是容器类型（安全版）")
      .param("type_str", &TypeStr::type_str)
      .annotate(&PyUnicode_Type)
      .returns(&PyBool_Type)
      .bind(g, g);
  Def::of<get_type_from_string>("get_type_from_string")
      .doc(
          "\n"
          "    将类型字符串（如 \"int\", \"model.user.User\"）转换为实际的 Python 类型\n"
          "    :param type_str: 类型字符串，如 \"int\", \"list\", \"model.user.User\"\n"
          "    :return: 对应的 Python 类型对象\n"
          "    ")
      .param("type_str", &TypeStr::type_str)
      .annotate(&PyUnicode_Type)
      .bind(g, g);
  Def("is_container_type", is_container_type)
      .doc(
          "\n"
          "    判断是否是容器类型\n"
          "    :param type_obj:\n"
          "    :return:\n"
          "    ")
      .param("type_obj")
      .returns(&PyBool_Type)
      .bind(g, g);
  Def("get_base_type", get_base_type)
      .doc(
          "\n"
          "    获取基础类型, 传入 list[int] 或 dict[str, str] 这种类型, 返回list\n"
          "    :param generic_type:\n"
          "    :return:\n"
          "    ")
      .param("generic_type")
      .bind(g, g);
  Def("is_result_class", is_result_class)
      .doc(
          "\n"
          "    判断是否是需要的数据类型, pydantic, dataclass\n"
          "    :param data_type:\n"
          "    :return:\n"
          "    ")
      .param("data_type")
      .bind(g, g);
}
