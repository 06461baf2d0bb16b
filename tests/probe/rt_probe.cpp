// wisp._rt_probe: exercises the runtime's function and generator types from
// the test suite. Built only with -DWISP_TEST_PROBE=ON.
#include <memory>

#include <stdexcept>
#include <string>

#include "probe.h"
#include "wisp/classes.h"
#include "wisp/engines.h"
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

Def* add_def;  // made at import

Ref make_adder(FunctionObject* f, Ref* a) {
  return add_def->build(f->globals, a[0], str("make_adder.<locals>.add"));
}

// A context manager that records what happens to it in `log`. With a step
// named in `fail_at` ("success" or "finally"), that step fails after being
// recorded: with a ValueError, or with a C++ exception when `cpp` is true.
class Recorder : public ContextBody {
 public:
  Recorder(Ref log, Ref value, std::string fail_at = "", bool cpp = false)
      : log_(std::move(log)), value_(std::move(value)), fail_at_(std::move(fail_at)), cpp_(cpp) {}

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
  void note(const char* step) {
    list_append(log_, str(step));
    if (fail_at_ != step) return;
    std::string what = std::string("step failed: ") + step;
    if (cpp_) throw std::runtime_error(what);
    raise(PyExc_ValueError, what.c_str());
  }
  Ref log_;
  Ref value_;
  std::string fail_at_;
  bool cpp_;
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

// def failing_recorder(log: list, step: str, cpp: bool), wrapped by
// contextmanager, and def inline_recorder(log: list, step: str, cpp: bool,
// body): the same scope run inline around body(None).
struct FailingArgs {
  Ref log, step, cpp, body;
};
Ref failing_recorder(FunctionObject* f, FailingArgs& a) {
  auto body =
      std::make_unique<Recorder>(a.log, none(), std::string(utf8(a.step)), a.cpp.get() == Py_True);
  return new_generator(std::move(body), f->name, f->qualname);
}
Ref inline_recorder(FunctionObject*, FailingArgs& a) {
  Recorder scope(a.log, none(), std::string(utf8(a.step)), a.cpp.get() == Py_True);
  return scope.run_inline([&](Borrowed value) { return call(a.body, {value.get()}); });
}

// def resurrecting(store: list): a generator whose clean-up stores the
// generator itself in `store`, bringing it back while it is being finalised.
class Resurrector : public GenBody {
 public:
  explicit Resurrector(Ref store) : store_(std::move(store)) {}
  Step resume(Borrowed) override { return Step::yield(none()); }
  Step resume_throw(Ref exc) override {
    list_append(store_, generator);
    restore_exception(std::move(exc));
    throw PyError{};
  }
  int traverse(visitproc visit, void* arg) override {
    Py_VISIT(store_.get());
    return 0;
  }
  PyObject* generator = nullptr;  // the owner of this body; no reference held

 private:
  Ref store_;
};
Ref resurrecting(FunctionObject* f, Ref* a) {
  auto body = std::make_unique<Resurrector>(a[0]);
  Resurrector* raw = body.get();
  Ref g = new_generator(std::move(body), f->name, f->qualname);
  raw->generator = g.get();
  return g;
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

// def path_counts() -> tuple: how the runner's owned statements ran so far,
// (on a Session, on a Connection, on the driver connection)
Ref path_counts(FunctionObject*, Ref*) {
  const engines::PathCounts& c = engines::path_counts();
  return Ref::check(Py_BuildValue("(KKK)", c.session, c.connection, c.driver));
}

}  // namespace

WISP_MODULE(_rt_probe, nullptr, g) {
  PyObject* int_t = reinterpret_cast<PyObject*>(&PyLong_Type);
  PyObject* bool_t = reinterpret_cast<PyObject*>(&PyBool_Type);
  PyObject* str_t = reinterpret_cast<PyObject*>(&PyUnicode_Type);
  PyObject* list_t = reinterpret_cast<PyObject*>(&PyList_Type);
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
  Def("path_counts", path_counts).bind(g, g);
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
  add_def = new Def("add", add);
  add_def->param("x");
  Def("make_adder", make_adder).param("n").bind(g, g);
  Ref rec = Def("recorder", recorder)
                .generator()
                .param("log")
                .annotate(reinterpret_cast<PyObject*>(&PyList_Type))
                .param("value")
                .def(Py_None)
                .build(g);
  Ref contextmanager = import_attr("contextlib", "contextmanager");
  dict_set(g, "recorder", call(contextmanager, {rec.get()}));
  // failing_recorder and inline_recorder share one parameter list.
  auto failing_params = [&](Def d) {
    d.param("log", &FailingArgs::log).annotate(list_t).param("step", &FailingArgs::step);
    d.annotate(str_t).param("cpp", &FailingArgs::cpp).annotate(bool_t);
    d.param("body", &FailingArgs::body).def(Py_None);
    return d;
  };
  Ref failing = failing_params(Def::of<failing_recorder>("failing_recorder")).build(g);
  dict_set(g, "failing_recorder", call(contextmanager, {failing.get()}));
  failing_params(Def::of<inline_recorder>("inline_recorder")).bind(g, g);
  Def("resurrecting", resurrecting).param("store").annotate(list_t).bind(g, g);
  Def("count", count).generator().param("start").annotate(int_t).param("stop").annotate(int_t).bind(g, g);

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
  bind_stack(g);
}
