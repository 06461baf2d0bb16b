// wisp._rt_probe: exercises the runtime's function and generator types from
// the test suite. Built only with -DWISP_TEST_PROBE=ON.
#include <memory>

#include <stdexcept>

#include "probe.h"
#include "wisp/classes.h"
#include "wisp/generator.h"

using namespace wisp;

namespace {

// def bind(a, /, b: int, *args, c: bool = False, d: str = None, **kwargs) -> tuple
// The struct lists the members in another order than the parameters: each
// parameter names its own member.
struct BindArgs {
  Ref kwargs, args, a, b, c, d;
};
Ref bind(FunctionObject*, BindArgs& p) {
  return tuple({p.a.get(), p.b.get(), p.args.get(), p.c.get(), p.d.get(), p.kwargs.get()});
}

// def echo_str(value) -> str: returns its argument, whose type the return check guards
Ref echo_str(FunctionObject*, Ref* a) {
  return a[0];
}

// def strict(s: str, d: dict, l: list, st: set, t: type, o: "str | None")
Ref strict(FunctionObject*, Ref* a) {
  return tuple({a[0].get(), a[1].get(), a[2].get(), a[3].get(), a[4].get(), a[5].get()});
}

// def bad_view(): declares a function whose argument struct holds a member
// no parameter names, and reports what declaring it raised.
struct TwoMembers {
  Ref first, second;
};
Ref two_members(FunctionObject*, TwoMembers& p) {
  return p.first;
}
Ref bad_view(FunctionObject* f, Ref*) {
  Def d = Def::of<two_members>("two_members");
  d.param("first", &TwoMembers::first);
  return d.build(f->globals);
}

// def make_adder(n): returns a closure make_adder.<locals>.add(x)
Ref add(FunctionObject* f, Ref* a) {
  return Ref::check(PyNumber_Add(f->closure, a[0].get()));
}

Ref make_adder(FunctionObject* f, Ref* a) {
  static Def* def = [] {
    auto* d = new Def("add", add);
    d->param("x");
    return d;
  }();
  return def->build(f->globals, a[0], str("make_adder.<locals>.add"));
}

// A context manager that records what happens to it in `log`.
class Recorder : public ContextBody {
 public:
  Recorder(Ref log, Ref value) : log_(std::move(log)), value_(std::move(value)) {}

 protected:
  Ref enter() override {
    note("enter");
    return value_;
  }
  void on_success() override { note("success"); }
  void on_error(Borrowed exc) override {
    Ref name = str(Py_TYPE(exc.get())->tp_name);
    Ref entry = concat({str("error:").get(), name.get()});
    list_append(log_, entry);
  }
  void on_finally() override { note("finally"); }
  int traverse(visitproc visit, void* arg) override {
    Py_VISIT(log_.get());
    Py_VISIT(value_.get());
    return 0;
  }

 private:
  void note(const char* what) { list_append(log_, str(what)); }
  Ref log_;
  Ref value_;
};

}  // namespace

Ref make_recorder(FunctionObject* f, Ref log, Ref value) {
  return new_generator(std::make_unique<Recorder>(std::move(log), std::move(value)), f->name,
                       f->qualname);
}

namespace {

// def recorder(log: list, value=None) -> generator, wrapped by contextmanager
Ref recorder(FunctionObject* f, Ref* a) {
  return make_recorder(f, a[0], a[1]);
}

// A counting generator: yields start, start+1, ...; send(v) resets to v.
class Counter : public GenBody {
 public:
  Counter(long start, long stop) : i_(start), stop_(stop) {}
  Step resume(Borrowed sent) override {
    if (sent && sent.get() != Py_None) i_ = PyLong_AsLong(sent);
    if (PyErr_Occurred()) throw_error();
    if (i_ >= stop_) return Step::finish(Ref::check(PyLong_FromLong(i_)));
    return Step::yield(Ref::check(PyLong_FromLong(i_++)));
  }
  int traverse(visitproc, void*) override { return 0; }

 private:
  long i_, stop_;
};

// def count(start: int, stop: int)
Ref count(FunctionObject* f, Ref* a) {
  long start = PyLong_AsLong(a[0].get());
  long stop = PyLong_AsLong(a[1].get());
  if (PyErr_Occurred()) throw_error();
  return new_generator(std::make_unique<Counter>(start, stop), f->name, f->qualname);
}

// class Box: __init__(self, value), get(self), __getattribute__ passthrough
Ref box_init(FunctionObject*, Ref* a) {
  setattr(a[0], "value", a[1]);
  return none();
}
Ref box_get(FunctionObject*, Ref* a) {
  return getattr(a[0], "value");
}

// class Holder(Generic[T]): def model(self) -> the class's own type argument
Ref holder_model(FunctionObject*, Ref* a) {
  Ref cls = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(a[0].get())));
  Ref bases = getattr(cls, "__orig_bases__");
  Ref args = call(import_attr("typing", "get_args"), {PyTuple_GET_ITEM(bases.get(), 0)});
  return Ref::borrow(PyTuple_GET_ITEM(args.get(), 0));
}

// @dataclass class Point: x: int; y: int = 0; def norm1(self)
Ref point_norm1(FunctionObject*, Ref* a) {
  Ref x = getattr(a[0], "x"), y = getattr(a[0], "y");
  Ref ax = Ref::check(PyNumber_Absolute(x.get())), ay = Ref::check(PyNumber_Absolute(y.get()));
  return Ref::check(PyNumber_Add(ax.get(), ay.get()));
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_rt_probe", nullptr, -1, nullptr, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__rt_probe() {
  return init_module(&module_def, [](Borrowed g) {
    PyObject* int_t = reinterpret_cast<PyObject*>(&PyLong_Type);
    PyObject* bool_t = reinterpret_cast<PyObject*>(&PyBool_Type);
    PyObject* str_t = reinterpret_cast<PyObject*>(&PyUnicode_Type);
    Def::of<bind>("bind")
        .doc("Binds its arguments and returns them.")
        .param("a", &BindArgs::a, Kind::PosOnly)
        .param("b", &BindArgs::b)
        .annotate(int_t)
        .param("args", &BindArgs::args, Kind::VarPos)
        .param("c", &BindArgs::c, Kind::KwOnly)
        .annotate(bool_t)
        .def(Py_False)
        .param("d", &BindArgs::d, Kind::KwOnly)
        .annotate(str_t)
        .def(Py_None)
        .param("kwargs", &BindArgs::kwargs, Kind::VarKw)
        .returns(reinterpret_cast<PyObject*>(&PyTuple_Type))
        .bind(g, g);
    Def("bad_view", bad_view).bind(g, g);
    Def("echo_str", echo_str).param("value").returns(str_t).bind(g, g);
    Def("strict", strict)
        .param("s")
        .annotate(str_t)
        .param("d")
        .annotate(reinterpret_cast<PyObject*>(&PyDict_Type))
        .param("l")
        .annotate(reinterpret_cast<PyObject*>(&PyList_Type))
        .param("st")
        .annotate(reinterpret_cast<PyObject*>(&PySet_Type))
        .param("t")
        .annotate(reinterpret_cast<PyObject*>(&PyType_Type))
        .param("o")
        .annotate("str | None")
        .bind(g, g);
    Def("make_adder", make_adder).param("n").bind(g, g);
    Ref rec = Def("recorder", recorder)
                  .param("log")
                  .annotate(reinterpret_cast<PyObject*>(&PyList_Type))
                  .param("value")
                  .def(Py_None)
                  .build(g);
    dict_set(g, "recorder", call(import_attr("contextlib", "contextmanager"), {rec.get()}));
    Def("count", count).param("start").annotate(int_t).param("stop").annotate(int_t).bind(g, g);

    ClassBuilder box("Box", g);
    Def init("__init__", box_init);
    init.param("self").param("value");
    box.method(init);
    Def get("get", box_get);
    get.param("self");
    box.method(get);
    dict_set(g, "Box", box.make());

    Ref typing = import("typing");
    Ref T = call(getattr(typing, "TypeVar"), {str("T").get()});
    dict_set(g, "T", T);
    Ref generic_t = Ref::check(PyObject_GetItem(getattr(typing, "Generic").get(), T.get()));
    ClassBuilder holder("Holder", g);
    Def model("model", holder_model);
    model.param("self");
    holder.method(model);
    dict_set(g, "Holder", holder.make_generic(tuple({generic_t.get()})));

    ClassBuilder point("Point", g);
    Ref ann = new_dict();
    dict_set(ann, "x", int_t);
    dict_set(ann, "y", int_t);
    point.attr("__annotations__", ann);
    point.attr("y", Ref::check(PyLong_FromLong(0)));
    Def norm("norm1", point_norm1);
    norm.param("self");
    point.method(norm);
    dict_set(g, "Point", dataclass(point.make()));

    bind_toolkit(g);
  });
}
