// wisp.utils.class_probe: classification and resolution of result types.
#include "wisp/function.h"

using namespace wisp;

namespace {

struct Names {
  PyObject* builtins = intern("builtins");
  PyObject* import_module = intern("import_module");
  PyObject* get_origin = intern("get_origin");
  PyObject* is_dataclass = intern("is_dataclass");
  PyObject* BaseModel = intern("BaseModel");
  PyObject* DeclarativeBase = intern("DeclarativeBase");
  PyObject* list = intern("list");
  PyObject* tuple = intern("tuple");
  PyObject* dict = intern("dict");
  PyObject* set = intern("set");
  PyObject* dot = intern(".");
};
const Names* N;

// (list, tuple, dict, set), as the body names them at call time.
Ref container_types(FunctionObject* f) {
  return tuple({global(f, N->list), global(f, N->tuple), global(f, N->dict), global(f, N->set)});
}

bool is_type(PyObject* o) {
  return PyObject_TypeCheck(o, &PyType_Type);
}

// def is_container_type_by_str(type_str: str) -> bool
Ref is_container_type_by_str(FunctionObject* f, Ref* a) {
  Borrowed type_str = a[0];
  Ref builtin_type = getattr_opt(global(f, N->builtins), type_str);
  if (!builtin_type || !truthy(builtin_type)) {
    builtin_type = Ref::borrow(dict_get(f->globals, type_str));
  }
  if (builtin_type && builtin_type.get() != Py_None && is_type(builtin_type.get())) {
    return boolean(check(PyObject_IsSubclass(builtin_type.get(), container_types(f).get())));
  }
  return boolean(false);
}

// def get_type_from_string(type_str: str)
Ref get_type_from_string(FunctionObject* f, Ref* a) {
  Borrowed type_str = a[0];
  Ref builtin_type = getattr_opt(global(f, N->builtins), type_str);
  if (builtin_type && builtin_type.get() != Py_None && is_type(builtin_type.get())) {
    return builtin_type;
  }
  Borrowed global_type = dict_get(f->globals, type_str);
  if (global_type && global_type.get() != Py_None && is_type(global_type)) {
    return Ref::borrow(global_type);
  }
  if (check(PySequence_Contains(type_str, N->dot))) {
    Ref parts = Ref::check(PyUnicode_RSplit(type_str, N->dot, 1));
    if (PyList_GET_SIZE(parts.get()) != 2) {
      raise_format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)",
                   PyList_GET_SIZE(parts.get()));
    }
    Borrowed module_path = PyList_GET_ITEM(parts.get(), 0);
    Borrowed class_name = PyList_GET_ITEM(parts.get(), 1);
    Ref type_obj;
    try {
      Ref module = call(global(f, N->import_module), {module_path});
      type_obj = getattr(module, class_name);
    } catch (const PyError&) {
      if (!PyErr_ExceptionMatches(PyExc_ImportError) &&
          !PyErr_ExceptionMatches(PyExc_AttributeError)) {
        throw;
      }
      // raise ValueError(...) inside the handler: the caught error becomes
      // its context.
      Ref caught = fetch_exception();
      Ref text = Ref::check(PyObject_Str(caught.get()));
      static PyObject* prefix = intern("无法导入类型 ");
      static PyObject* colon = intern(": ");
      PyErr_SetObject(PyExc_ValueError, concat({prefix, type_str, colon, text.get()}).get());
      Ref err = fetch_exception();
      PyException_SetContext(err.get(), caught.release());
      restore_exception(std::move(err));
      throw PyError{};
    }
    if (is_type(type_obj.get())) return type_obj;
  }
  static PyObject* unknown = intern("未知的类型: ");
  raise(PyExc_ValueError, concat({unknown, type_str}));
}

Ref origin_or_self(FunctionObject* f, Borrowed obj) {
  Ref origin = call(global(f, N->get_origin), {obj});
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
  if (check(PyObject_IsSubclass(data_type, global(f, N->BaseModel)))) return boolean(true);
  if (truthy(call(global(f, N->is_dataclass), {data_type}))) return boolean(true);
  if (check(PyObject_IsSubclass(data_type, global(f, N->DeclarativeBase)))) return boolean(true);
  return boolean(false);
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "class_probe", nullptr, -1, nullptr, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_class_probe() {
  return init_module(&module_def, [](Borrowed g) {
    N = new Names();
    PyObject* str_t = reinterpret_cast<PyObject*>(&PyUnicode_Type);
    PyObject* bool_t = reinterpret_cast<PyObject*>(&PyBool_Type);

    dict_set(g, "Container", import_attr("collections.abc", "Container"));
    dict_set(g, "Iterable", import_attr("collections.abc", "Iterable"));
    dict_set(g, "builtins", import("builtins"));
    dict_set(g, "is_dataclass", import_attr("dataclasses", "is_dataclass"));
    dict_set(g, "import_module", import_attr("importlib", "import_module"));
    dict_set(g, "get_origin", import_attr("typing", "get_origin"));
    dict_set(g, "List", import_attr("typing", "List"));
    dict_set(g, "BaseModel", import_attr("pydantic", "BaseModel"));
    dict_set(g, "DeclarativeBase", import_attr("sqlalchemy.orm", "DeclarativeBase"));

    Def("is_container_type_by_str", is_container_type_by_str)
        .doc("判断字符串表示的类型是否是容器类型（安全版）")
        .param("type_str")
        .annotate(str_t)
        .returns(bool_t)
        .bind(g, g);
    Def("get_type_from_string", get_type_from_string)
        .doc(
            "\n"
            "    将类型字符串（如 \"int\", \"model.user.User\"）转换为实际的 Python 类型\n"
            "    :param type_str: 类型字符串，如 \"int\", \"list\", \"model.user.User\"\n"
            "    :return: 对应的 Python 类型对象\n"
            "    ")
        .param("type_str")
        .annotate(str_t)
        .bind(g, g);
    Def("is_container_type", is_container_type)
        .doc(
            "\n"
            "    判断是否是容器类型\n"
            "    :param type_obj:\n"
            "    :return:\n"
            "    ")
        .param("type_obj")
        .returns(bool_t)
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
  });
}
