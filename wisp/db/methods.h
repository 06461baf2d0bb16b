// Methods described by one row of a table, shared by wisp.db.query_runner
// and wisp.db.db_gateway, whose operations and pass-throughs differ only in
// their parameters and in the call they make.
#pragma once

#include <array>

#include "wisp/classes.h"

namespace wisp::db {

// The annotations the two modules' methods carry, by what they annotate.
enum class Ann : unsigned char {
  None,
  TextClause,
  Any,
  List,              // list: exactly a list, or None by default
  DictOrNone,        // dict | None
  ListOfDictOrNone,  // list[dict] | None
  Count
};

// One parameter after `self`: its name, annotation, and whether it defaults
// to None. A row lists at most three; the unused ones have no name.
struct Param {
  const char* name = nullptr;
  Ann ann = Ann::None;
  bool optional = false;
};
using Params = std::array<Param, 3>;

// The annotation objects of a module and the argument check each implies.
class Annotations {
 public:
  Annotations() {
    Ref list_of_dict = Ref::check(Py_GenericAlias(Borrowed(&PyList_Type), Borrowed(&PyDict_Type)));
    set(Ann::TextClause, import_attr("sqlalchemy", "TextClause"));
    set(Ann::Any, import_attr("typing", "Any"));
    set(Ann::List, Ref::borrow(Borrowed(&PyList_Type)));
    set(Ann::DictOrNone, Ref::check(PyNumber_Or(Borrowed(&PyDict_Type), Py_None)), Check::Dict);
    set(Ann::ListOfDictOrNone, Ref::check(PyNumber_Or(list_of_dict.get(), Py_None)), Check::List);
  }

  // `def <name>(self, <params>)` on the class being built; returns the
  // function.
  Ref method(ClassBuilder& cls, const char* name, Impl body, const Params& params,
             const char* doc = nullptr) const {
    Def d(name, body);
    if (doc) d.doc(doc);
    d.param("self");
    for (const Param& p : params) {
      if (!p.name) break;
      d.param(p.name);
      if (p.ann != Ann::None) d.annotate(objects_[int(p.ann)], checks_[int(p.ann)]);
      if (p.optional) d.def(Py_None);
    }
    return cls.method(d);
  }

  Borrowed operator[](Ann a) const { return objects_[int(a)]; }

 private:
  void set(Ann a, Ref object, Check check = Check::Auto) {
    objects_[int(a)] = std::move(object);
    checks_[int(a)] = check;
  }
  std::array<Ref, size_t(Ann::Count)> objects_;
  std::array<Check, size_t(Ann::Count)> checks_{};
};

}  // namespace wisp::db
