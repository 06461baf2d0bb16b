// wisp runtime: generator objects driven by C++ bodies.
//
// A body is a small state machine: `resume` runs it from the last yield
// point up to the next yield (or to the end), `resume_throw` does the same
// with an exception raised at the yield point. The generator object gives
// the interpreter's protocol on top: `__next__`, `send`, `throw` in its one-
// and three-argument forms, `close`, finalisation of a suspended generator,
// StopIteration raised inside a body turned into RuntimeError.
//
// `contextlib.contextmanager` over a function that returns such a generator
// gives a real context manager.
#pragma once

#include <memory>

#include "wisp/rt.h"

namespace wisp {

struct Step {
  Ref value;
  bool done;
  static Step yield(Ref v) { return Step{std::move(v), false}; }
  static Step finish(Ref v = none()) { return Step{std::move(v), true}; }
};

class WISP_API GenBody {
 public:
  virtual ~GenBody();
  // next() / send(value): `sent` is None for next() and the first resume.
  virtual Step resume(Borrowed sent) = 0;
  // throw(exc) at the current yield point; `exc` is a normalised exception
  // instance. The default lets it propagate unchanged.
  virtual Step resume_throw(Ref exc);
  // Visits every Python object the body holds, for the cycle collector.
  // Every body says what it holds (`return 0;` for one that holds none):
  // a reference it does not visit keeps a cycle through the generator
  // alive for good. The collector breaks a cycle by deleting the body.
  virtual int traverse(visitproc visit, void* arg) = 0;
};

// The shape of every single-yield context manager in the package:
//
//     value = enter()
//     try:
//         yield value
//         on_success()
//     except Exception as e:
//         on_error(e)
//         raise
//     finally:
//         on_finally()
//
// An exception that is not an `Exception` (GeneratorExit, KeyboardInterrupt)
// skips `on_error` but still runs `on_finally`; the exception that comes out
// is the very object that went in, unless a step raises one of its own.
// A step that fails (with a Python exception or any C++ one) is handled as
// in Python: a failing `on_success` goes through `on_error` and
// `on_finally`, a failing `on_finally` surfaces as the exception.
class WISP_API ContextBody : public GenBody {
 public:
  Step resume(Borrowed sent) override;
  Step resume_throw(Ref exc) override;

  // Runs `work(value)` inside the scope directly, as `with` over the
  // context manager would, without making a generator object.
  template <class F>
  Ref run_inline(F&& work);

 protected:
  virtual Ref enter() = 0;
  virtual void on_success() {}
  virtual void on_error(Borrowed exc) { (void)exc; }
  virtual void on_finally() {}

 private:
  [[noreturn]] void fail(Ref exc);
  int state_ = 0;
};

template <class F>
Ref ContextBody::run_inline(F&& work) {
  Step entered = resume(Py_None);
  Ref result;
  try {
    result = work(Borrowed(entered.value));
  } catch (...) {
    translate_exception();
    resume_throw(fetch_exception());  // runs the clean-up steps and re-raises
  }
  resume(Py_None);  // the success steps; a failure there has been cleaned up
  return result;
}

WISP_API extern PyTypeObject GeneratorType;

// Wraps a body into a new generator object, named like the function that
// made it (for repr and introspection).
WISP_API Ref new_generator(std::unique_ptr<GenBody> body, Borrowed name, Borrowed qualname);

}  // namespace wisp
