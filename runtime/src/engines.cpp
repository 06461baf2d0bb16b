#include "wisp/engines.h"

namespace wisp::engines {

namespace {
PyObject* own_begin = nullptr;
PathCounts counts;
}  // namespace

void set_own_begin_listener(Borrowed listener) {
  PyObject* old = own_begin;
  own_begin = Py_NewRef(listener.get());
  Py_XDECREF(old);
}

PyObject* own_begin_listener() {
  return own_begin;
}

PathCounts& path_counts() {
  return counts;
}

}  // namespace wisp::engines
