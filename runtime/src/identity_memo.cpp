#include "wisp/identity_memo.h"

namespace wisp {

// Whether the weak reference `ref` (null for no object) still points to `o`.
bool IdentityMemo::refers_to(PyObject* ref, PyObject* o) {
  if (!ref) return o == nullptr;
  try {
    return weak_target(ref).get() == o;
  } catch (const PyError&) {
    PyErr_Clear();
    return false;
  }
}

// Dropping the last reference to a value can run Python code, which may
// come back to the memo: done once the map is consistent.
void IdentityMemo::release(std::vector<Entry>& dropped) {
  for (Entry& e : dropped) {
    Py_XDECREF(e.a);
    Py_XDECREF(e.b);
    Py_XDECREF(e.value);
  }
  dropped.clear();
}

Ref IdentityMemo::find(Borrowed a, Borrowed b) {
  auto it = map_.find(Key{a.get(), b.get()});
  if (it == map_.end()) return Ref();
  if (refers_to(it->second.a, a.get()) && refers_to(it->second.b, b.get())) {
    return Ref::borrow(it->second.value);
  }
  // Objects that died since, whose addresses serve new ones now.
  std::vector<Entry> dropped{it->second};
  map_.erase(it);
  release(dropped);
  return Ref();
}

// Drops the entries of objects that died, or every entry when none did.
void IdentityMemo::prune() {
  std::vector<Entry> dropped;
  for (auto it = map_.begin(); it != map_.end();) {
    const Entry& e = it->second;
    if (refers_to(e.a, it->first.a) && refers_to(e.b, it->first.b)) {
      ++it;
      continue;
    }
    dropped.push_back(e);
    it = map_.erase(it);
  }
  if (dropped.empty()) {
    for (auto& kv : map_) dropped.push_back(kv.second);
    map_.clear();
  }
  release(dropped);
}

void IdentityMemo::keep(Borrowed a, Borrowed b, Borrowed value) {
  Entry e{PyWeakref_NewRef(a, nullptr), nullptr, Py_NewRef(value.get())};
  if (e.a && b) e.b = PyWeakref_NewRef(b, nullptr);
  if (!e.a || (b && !e.b)) {
    PyErr_Clear();
    std::vector<Entry> dropped{e};
    release(dropped);
    return;
  }
  if (map_.size() >= limit_) prune();
  std::vector<Entry> dropped;
  Key key{a.get(), b.get()};
  auto it = map_.find(key);
  if (it != map_.end()) {
    dropped.push_back(it->second);
    it->second = e;
  } else {
    map_.emplace(key, e);
  }
  release(dropped);
}

}  // namespace wisp
