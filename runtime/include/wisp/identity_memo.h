// wisp runtime: values kept for one or two objects, by identity, without
// keeping the objects alive.
//
// A decision worked out for objects that do not change (a statement, a
// model class) can be kept for as long as they live. The memo holds weak
// references to them: an entry whose object died, or whose address now
// serves a new object, is never handed out. Objects that take no weak
// reference are simply not kept. Used with the GIL held.
#pragma once

#include <cstddef>
#include <unordered_map>
#include <vector>

#include "wisp/rt.h"

namespace wisp {

class WISP_API IdentityMemo {
 public:
  explicit IdentityMemo(size_t limit = 512) : limit_(limit) {}
  IdentityMemo(const IdentityMemo&) = delete;
  IdentityMemo& operator=(const IdentityMemo&) = delete;

  // The value kept for (a, b), or null. `b` may be null.
  Ref find(Borrowed a, Borrowed b = Borrowed());
  // Keeps `value` for (a, b), when both take weak references.
  void keep(Borrowed a, Borrowed b, Borrowed value);

 private:
  struct Key {
    PyObject* a;
    PyObject* b;
    bool operator==(const Key& o) const { return a == o.a && b == o.b; }
  };
  struct Hash {
    size_t operator()(const Key& k) const {
      return std::hash<void*>()(k.a) * 31 + std::hash<void*>()(k.b);
    }
  };
  struct Entry {
    PyObject* a;  // weak references (b's null when there is no b)
    PyObject* b;
    PyObject* value;
  };
  static bool refers_to(PyObject* ref, PyObject* o);
  static void release(std::vector<Entry>& dropped);
  void prune();

  size_t limit_;
  std::unordered_map<Key, Entry, Hash> map_;
};

}  // namespace wisp
