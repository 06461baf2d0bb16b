// wisp.wisp: a call's arguments bound to the parameter names of the function
// it stands for, as the mapped methods of BaseMapper and the statement
// decorators do it. The result is the parameter dict a statement is rendered
// with, and the page found among the arguments:
//
//     params, page = {}, None
//     for index, (name, param) in enumerate(signature.parameters.items()):
//         if index < len(args): value = args[index]
//         elif name in kwargs: value = kwargs[name]
//         else: value = param.default
//         if value is inspect.Parameter.empty and param.annotation == Page:
//             continue                      # a page left out: no page
//         if param.annotation == Page or isinstance(value, Page):
//             page = value                  # a later one wins
//         else:
//             params[name] = value
//
// Every kind of parameter is bound alike (`self`, `*args`, `**kwargs` take one
// value each). A call the declared function would refuse for an argument too
// many (a keyword that names no parameter, positionals beyond the last
// positional parameter) is refused first, as the interpreter words it
// (`refuse_surplus`), unless the signature has `**kwargs` or `*args`; the
// binding itself drops what those take. A parameter without a default that
// the call leaves out holds the marker inspect.Parameter.empty: harmless
// while no placeholder uses it, refused (`refuse_missing`) once it would go
// to the database as a bind value.
#pragma once

#include "wisp/rt.h"

namespace wisp::facade {

// The parameters of `signature` (an inspect.Signature) as the binding reads
// them: a tuple with one (name, default, annotation, kind) tuple per
// parameter, in order, the kind as inspect numbers it. Parameters are
// immutable, so a plan made once binds every later call exactly as the
// signature itself would.
Ref parameter_plan(Borrowed signature);

struct BoundCall {
  Ref params;  // dict: parameter name -> value, in parameter order
  Ref page;    // the page among the arguments, or None
};

// Binds `args` (a tuple) and `kwargs` (a dict, or null for none) to `plan`
// (see parameter_plan); `page_cls` is the Page class as the caller's module
// names it now.
BoundCall bind_call(Borrowed plan, Borrowed args, Borrowed kwargs, Borrowed page_cls);

// Raises the interpreter's TypeError for a call of `func` (whose parameters
// `plan` holds) with a keyword that names no parameter, when it has no
// `**kwargs`, or with more positionals than it has positional parameters,
// when it has no `*args`. A bound method counts its `self` (or `cls`) as
// the interpreter does, although its plan leaves it out.
void refuse_surplus(Borrowed plan, Borrowed args, Borrowed kwargs, Borrowed func);

// inspect.Parameter.empty, the default of a parameter that has none.
Borrowed empty_marker();

// Whether a value of the dict `values` is inspect.Parameter.empty.
bool has_missing(Borrowed values);

// Raises TypeError("missing a required argument: 'NAME'") (the interpreter's
// wording), NAME being `name`.
[[noreturn]] void raise_missing(Borrowed name);

// raise_missing for the first value of the bind dict `binds` that is
// inspect.Parameter.empty, named by its key; returns when there is none.
void refuse_missing(Borrowed binds);

}  // namespace wisp::facade
