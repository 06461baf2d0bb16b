// wisp._rt_probe, third part: the sanitizer run's stack plumbing.
//
// greenlet runs several Python call stacks on one C stack by copying the
// part a switch hands over to the heap and back. AddressSanitizer's shadow
// of that region does not move with the copy: after a switch it still holds
// the redzones of the frames that ran there before, so the frames put back,
// and any buffer on the stack that code reaches there, would be reported.
// stack_guard() gives the sanitizer run a greenlet trace function that
// marks the thread's stack addressable after every switch
// (tools/sanitizer_stack_guard.py); stack_poke shows that stack overflows
// are still reported.
#include <pthread.h>

#include <cerrno>

#include "probe.h"

#if defined(__SANITIZE_ADDRESS__)
#define PROBE_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PROBE_ASAN 1
#endif
#endif

#ifdef PROBE_ASAN
#include <sanitizer/asan_interface.h>
#endif

using namespace wisp;

namespace {

#ifdef PROBE_ASAN
// The stack of the thread that asked for the guard.
thread_local void* stack_low = nullptr;
thread_local size_t stack_size = 0;

// The trace function: greenlet calls it right after a switch, on the stack
// it has just put back, with the stale shadow still in place. Nothing on its
// way may be instrumented, or its own frame would be reported: so it is a
// bare C function, outside the runtime's (instrumented) function type, and
// calls nothing the sanitizer intercepts. Frames live across the switch
// lose their redzones until they return; frames entered afterwards get
// their own.
__attribute__((no_sanitize("address"))) PyObject* clear_stack_shadow(PyObject*, PyObject* const*,
                                                                      Py_ssize_t) {
  if (stack_size != 0) __asan_unpoison_memory_region(stack_low, stack_size);
  Py_RETURN_NONE;
}

PyMethodDef clear_stack_shadow_def = {
    "clear_stack_shadow", reinterpret_cast<PyCFunction>(clear_stack_shadow), METH_FASTCALL,
    "clear_stack_shadow(event, args, /)\n--\n\nMarks the running thread's stack addressable."};
#endif

// def stack_guard(): the greenlet trace function clearing the stack shadow
// of the running thread after each switch; None in a build without
// AddressSanitizer.
Ref stack_guard(FunctionObject*, Ref*) {
#ifdef PROBE_ASAN
  pthread_attr_t attr;
  int rc = pthread_getattr_np(pthread_self(), &attr);
  if (rc == 0) {
    rc = pthread_attr_getstack(&attr, &stack_low, &stack_size);
    pthread_attr_destroy(&attr);
  }
  if (rc != 0) {
    errno = rc;
    PyErr_SetFromErrno(PyExc_OSError);
    throw PyError{};
  }
  return Ref::check(PyCFunction_New(&clear_stack_shadow_def, nullptr));
#else
  return Ref::borrow(Py_None);
#endif
}

// def stack_poke(index: int, then=None) -> int: calls then() (when given)
// while a 16-byte buffer of this frame is live, then writes byte `index` of
// it and returns it. An index outside the buffer is refused unless the build
// has AddressSanitizer, which then reports the write and stops the process.
constexpr Py_ssize_t poke_size = 16;
Ref stack_poke(FunctionObject*, Ref* a) {
  const Py_ssize_t index = PyLong_AsSsize_t(a[0].get());
  if (index == -1 && PyErr_Occurred()) throw PyError{};
#ifndef PROBE_ASAN
  if (index < 0 || index >= poke_size) {
    PyErr_Format(PyExc_IndexError, "stack_poke: index %zd is outside the %zd-byte buffer",
                 index, poke_size);
    throw PyError{};
  }
#endif
  char buffer[poke_size] = {};
  // Written through a volatile pointer, so that the buffer's redzones catch
  // the write rather than the compiler's own bounds checks.
  char* volatile at = buffer;
  if (a[1].get() != Py_None) call(a[1], {});
  at[index] = static_cast<char>(index);
  return Ref::check(PyLong_FromLong(at[index]));
}

}  // namespace

void bind_stack(Borrowed g) {
  Def("stack_guard", stack_guard).bind(g, g);
  Def("stack_poke", stack_poke)
      .param("index")
      .annotate(reinterpret_cast<PyObject*>(&PyLong_Type))
      .param("then")
      .def(Py_None)
      .bind(g, g);
}
