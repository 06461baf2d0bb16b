// wisp runtime: a bounded cache of objects made from SQL text, and the
// SQLAlchemy text clauses kept in one.
//
// Rendering gives the same SQL text again and again for the same statement
// shape, and `sqlalchemy.text()` on it scans the text for bind names and
// builds one bind parameter object per name every time. A clause made once
// serves every later call with the same text.
#pragma once

#include <cstddef>
#include <list>
#include <mutex>
#include <unordered_map>

#include "wisp/rt.h"

namespace wisp {

// A map from text (an exact str) to an object, bounded in entries and in the
// total length of its keys, the least recently used entry leaving first. The
// objects made from a text grow with it, so the length bound is what bounds
// memory when generated texts (a `foreach` over a list of a new length on
// every call) stream through; a key longer than `key_chars` is not kept at
// all, so that one huge text cannot push out the ordinary ones.
//
// Safe without the GIL: the map is touched only under a mutex, and the mutex
// is never held while Python code can run. Keys are hashed before it is
// taken (hashing an exact str runs no Python code), references dropped by an
// eviction are released after it is let go, and in between there are only
// comparisons of str data and reference count increments.
class WISP_API LruCache {
 public:
  struct Limits {
    size_t entries = 4096;
    size_t chars = size_t(1) << 20;
    size_t key_chars = size_t(1) << 16;
  };

  LruCache() : LruCache(Limits{}) {}
  explicit LruCache(Limits limits) : limits_(limits) {}
  // Releases the entries: only with the GIL held.
  ~LruCache();
  LruCache(const LruCache&) = delete;
  LruCache& operator=(const LruCache&) = delete;

  // The object cached under `key`, which becomes the most recent entry; null
  // when there is none or `key` is not an exact str.
  Ref get(Borrowed key);
  // Caches `value` under `key`, unless the key is too long or not an exact
  // str. An entry made meanwhile by another caller stays.
  void put(Borrowed key, Borrowed value);
  // Removes the entry for `key` if it still holds `value`.
  void erase(Borrowed key, Borrowed value);
  void clear();

  size_t size() const;
  size_t chars() const;
  const Limits& limits() const { return limits_; }

 private:
  struct Key {
    PyObject* text;
    Py_hash_t hash;
  };
  struct Hash {
    size_t operator()(const Key& k) const { return size_t(k.hash); }
  };
  struct Same {
    bool operator()(const Key& a, const Key& b) const;
  };
  struct Entry {
    Key key;  // owns a reference to key.text
    PyObject* value;
    size_t chars;
  };
  using Order = std::list<Entry>;  // most recent first

  // The key of `text`, or false when it cannot be one.
  static bool key_of(Borrowed text, Key& out);
  // Moves the oldest entries into `dropped` until the limits hold.
  void shrink(Order& dropped);
  static void release(Order& dropped);

  const Limits limits_;
  mutable std::mutex mutex_;
  Order order_;
  std::unordered_map<Key, Order::iterator, Hash, Same> index_;
  size_t chars_ = 0;
};

// `text(sql)` for the module whose `text` global is `fn` at call time. While
// that global is still the function the module bound at import (SQLAlchemy's
// own), a clause made earlier for the same text is handed out again; a
// replacement is called on every call, as written.
//
// Sharing one TextClause between callers is safe because SQLAlchemy treats
// it as immutable once made: executing it only reads it (what SQLAlchemy
// memoizes on it, such as its cache key, is derived from its text), and its
// generative methods (`bindparams`, `execution_options`, `columns`) return
// new objects and leave it as it was. The bind values travel beside it, in
// the dict every call builds afresh. The one thing a caller could still
// change in place, its public `text` attribute, is checked on every hit, and
// a clause whose text was reassigned is made anew.
//
// Beside each clause the cache keeps what was made from it for a dialect
// (the statement compiled into the driver's own terms, say): `form` finds it
// again while the clause is the one the cache hands out for its text and
// that text is unchanged, so it lives and leaves with the clause. Dialects
// are held weakly: a form is never found for a dialect that died, and a
// new dialect at the same address is not taken for it.
class WISP_API ClauseCache {
 public:
  // `original`: SQLAlchemy's `text`, as the module bound it at import.
  explicit ClauseCache(Borrowed original, LruCache::Limits limits = {});
  ClauseCache(const ClauseCache&) = delete;
  ClauseCache& operator=(const ClauseCache&) = delete;

  // The cache every module shares, over SQLAlchemy's `text`: a clause one
  // module made (a mapped statement) is found by another (the runner that
  // executes it). Made on first use, kept for the life of the process.
  static ClauseCache& shared();

  Ref text(Borrowed fn, Borrowed sql);
  bool serves(Borrowed fn) const { return fn.get() == original_; }

  // Whether `clause` is the one the cache holds for its text.
  bool holds(Borrowed clause) { return bool(entry_of(clause)); }
  // The form kept for `clause` under `dialect`, or null.
  Ref form(Borrowed clause, Borrowed dialect);
  // Keeps `form` for `clause` under `dialect`, when `clause` is the one the
  // cache holds for its text; otherwise nothing is kept.
  void keep_form(Borrowed clause, Borrowed dialect, Borrowed form);

 private:
  // The cache's entry for `clause`: a list [clause, its text when made,
  // [(weak reference to a dialect, form), ...]], or null.
  Ref entry_of(Borrowed clause);

  PyObject* original_;  // kept for the life of the process
  PyObject* text_name_;
  LruCache lru_;
};

}  // namespace wisp
