#include "wisp/engines.h"

namespace wisp::engines {

namespace {
PyObject* own[2] = {nullptr, nullptr};
PathCounts counts;
}  // namespace

void set_own_listener(Own which, Borrowed listener) {
  PyObject* old = own[int(which)];
  own[int(which)] = Py_NewRef(listener.get());
  Py_XDECREF(old);
}

PyObject* own_listener(Own which) {
  return own[int(which)];
}

PathCounts& path_counts() {
  return counts;
}

}  // namespace wisp::engines
