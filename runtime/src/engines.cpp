#include "wisp/engines.h"

namespace wisp::engines {

namespace {
PyObject* own[2] = {nullptr, nullptr};
PathCounts counts;
RowInsert row_steps[2] = {nullptr, nullptr};
}  // namespace

void set_row_insert(Layer layer, RowInsert step) {
  row_steps[int(layer)] = step;
}

Ref row_insert(Layer layer, Borrowed target, Borrowed statement, Borrowed row) {
  RowInsert step = row_steps[int(layer)];
  return step ? step(target, statement, row) : Ref();
}

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
