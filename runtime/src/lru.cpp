#include "wisp/lru.h"

#include <cstring>
#include <iterator>

namespace wisp {

// Exact strs are kept in their canonical form, so equal texts have the same
// kind and the same bytes.
bool LruCache::Same::operator()(const Key& a, const Key& b) const {
  if (a.text == b.text) return true;
  if (a.hash != b.hash) return false;
  const Py_ssize_t n = PyUnicode_GET_LENGTH(a.text);
  if (n != PyUnicode_GET_LENGTH(b.text) || PyUnicode_KIND(a.text) != PyUnicode_KIND(b.text)) {
    return false;
  }
  return std::memcmp(PyUnicode_DATA(a.text), PyUnicode_DATA(b.text),
                     size_t(n) * PyUnicode_KIND(a.text)) == 0;
}

bool LruCache::key_of(Borrowed text, Key& out) {
  if (!PyUnicode_CheckExact(text.get())) return false;
#if PY_VERSION_HEX < 0x030C0000
  if (PyUnicode_READY(text.get()) < 0) throw_error();
#endif
  const Py_hash_t hash = PyObject_Hash(text);
  if (hash == -1) throw_error();
  out = Key{text.get(), hash};
  return true;
}

LruCache::~LruCache() {
  index_.clear();
  release(order_);
}

Ref LruCache::get(Borrowed text) {
  Key key;
  if (!key_of(text, key)) return Ref();
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = index_.find(key);
  if (it == index_.end()) return Ref();
  order_.splice(order_.begin(), order_, it->second);
  return Ref::borrow(it->second->value);
}

void LruCache::put(Borrowed text, Borrowed value) {
  Key key;
  if (!key_of(text, key)) return;
  const size_t n = size_t(PyUnicode_GET_LENGTH(text.get()));
  if (n > limits_.key_chars || n > limits_.chars || limits_.entries == 0) return;
  Order dropped;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = index_.find(key);
    if (it != index_.end()) {
      // Made meanwhile by another caller: the first one stays.
      order_.splice(order_.begin(), order_, it->second);
      return;
    }
    order_.push_front(Entry{key, value.get(), n});
    try {
      index_.emplace(key, order_.begin());
    } catch (...) {
      order_.pop_front();
      throw;
    }
    Py_INCREF(key.text);
    Py_INCREF(value.get());
    chars_ += n;
    shrink(dropped);
  }
  release(dropped);
}

void LruCache::erase(Borrowed text, Borrowed value) {
  Key key;
  if (!key_of(text, key)) return;
  Order dropped;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = index_.find(key);
    if (it == index_.end() || it->second->value != value.get()) return;
    chars_ -= it->second->chars;
    dropped.splice(dropped.begin(), order_, it->second);
    index_.erase(it);
  }
  release(dropped);
}

void LruCache::clear() {
  Order dropped;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    index_.clear();
    dropped.swap(order_);
    chars_ = 0;
  }
  release(dropped);
}

size_t LruCache::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return order_.size();
}

size_t LruCache::chars() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return chars_;
}

void LruCache::shrink(Order& dropped) {
  while (!order_.empty() && (order_.size() > limits_.entries || chars_ > limits_.chars)) {
    auto oldest = std::prev(order_.end());
    index_.erase(oldest->key);
    chars_ -= oldest->chars;
    dropped.splice(dropped.begin(), order_, oldest);
  }
}

// Dropping the last reference to a value may run Python code (finalizers,
// weak reference callbacks), which may come back to this cache: it is done
// with the mutex released.
void LruCache::release(Order& dropped) {
  while (!dropped.empty()) {
    Entry e = dropped.front();
    dropped.pop_front();
    Py_DECREF(e.value);
    Py_DECREF(e.key.text);
  }
}

ClauseCache::ClauseCache(Borrowed original, LruCache::Limits limits)
    : original_(Py_NewRef(original.get())), text_name_(intern("text")), lru_(limits) {}

ClauseCache& ClauseCache::shared() {
  // Made under the GIL by the first module that asks, at its import.
  static ClauseCache* cache = new ClauseCache(import_attr("sqlalchemy", "text"));
  return *cache;
}

Ref ClauseCache::text(Borrowed fn, Borrowed sql) {
  Ref text_fn = Ref::borrow(fn);  // the global may be rebound while it runs
  if (fn.get() != original_ || !PyUnicode_CheckExact(sql.get())) return call(text_fn, {sql.get()});
  if (Ref hit = lru_.get(sql)) {
    Ref clause = Ref::borrow(PyList_GET_ITEM(hit.get(), 0));
    Ref now = getattr_opt(clause, text_name_);
    if (now && now.get() == PyList_GET_ITEM(hit.get(), 1)) return clause;
    lru_.erase(sql, hit);
  }
  Ref clause = call(text_fn, {sql.get()});
  Ref made = getattr_opt(clause, text_name_);
  if (made) {
    Ref entry = new_list(3);
    PyList_SET_ITEM(entry.get(), 0, Py_NewRef(clause.get()));
    PyList_SET_ITEM(entry.get(), 1, made.release());
    PyList_SET_ITEM(entry.get(), 2, new_list().release());
    lru_.put(sql, entry);
  }
  return clause;
}

Ref ClauseCache::entry_of(Borrowed clause) {
  Ref now = getattr_opt(clause, text_name_);
  if (!now || !PyUnicode_CheckExact(now.get())) return Ref();
  Ref hit = lru_.get(now);
  if (!hit || PyList_GET_ITEM(hit.get(), 0) != clause.get() ||
      PyList_GET_ITEM(hit.get(), 1) != now.get()) {
    return Ref();
  }
  return hit;
}

namespace {

// Forms kept per clause: the few dialects of the process's engines.
constexpr Py_ssize_t kFormsPerClause = 8;

}  // namespace

Ref ClauseCache::form(Borrowed clause, Borrowed dialect) {
  Ref entry = entry_of(clause);
  if (!entry) return Ref();
  Ref forms = Ref::borrow(PyList_GET_ITEM(entry.get(), 2));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(forms.get()); ++i) {
    PyObject* pair = PyList_GET_ITEM(forms.get(), i);
    if (weak_target(PyTuple_GET_ITEM(pair, 0)).get() == dialect.get()) {
      return Ref::borrow(PyTuple_GET_ITEM(pair, 1));
    }
  }
  return Ref();
}

void ClauseCache::keep_form(Borrowed clause, Borrowed dialect, Borrowed form) {
  Ref entry = entry_of(clause);
  if (!entry) return;
  Ref forms = Ref::borrow(PyList_GET_ITEM(entry.get(), 2));
  // Forms of dialects that died go first, then the oldest beyond the bound.
  for (Py_ssize_t i = PyList_GET_SIZE(forms.get()); i-- > 0;) {
    if (!weak_target(PyTuple_GET_ITEM(PyList_GET_ITEM(forms.get(), i), 0))) {
      check(PySequence_DelItem(forms.get(), i));
    }
  }
  while (PyList_GET_SIZE(forms.get()) >= kFormsPerClause) check(PySequence_DelItem(forms.get(), 0));
  Ref ref = Ref::check(PyWeakref_NewRef(dialect, nullptr));
  list_append(forms, tuple({ref.get(), form.get()}));
}

}  // namespace wisp
