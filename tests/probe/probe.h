// wisp._rt_probe: the parts its sources share.
#pragma once

#include "wisp/function.h"

// A context manager body that records what happens to it in `log` and
// yields `value` (rt_probe.cpp).
wisp::Ref make_recorder(wisp::FunctionObject* f, wisp::Ref log, wisp::Ref value);

// Binds the facade toolkit's probes into the module namespace (toolkit.cpp).
void bind_toolkit(wisp::Borrowed g);

// Binds the sanitizer run's stack probes into the module namespace (stack.cpp).
void bind_stack(wisp::Borrowed g);
