// The runner's scanners over SQL text, for the count and page statements of
// a page: where a statement can be cut to count its rows, where it ends, and
// whether its last line may be a line comment. They read a str by code point
// and run no Python code.
#pragma once

#include "wisp/rt.h"

namespace wisp::db {

// Where the simple count form "SELECT COUNT(*) as count FROM <rest>" takes
// its <rest> from `text` (already stripped of blanks and semicolons at both
// ends): the position after the first top-level "FROM" that follows the
// select list, when the statement starts with SELECT, holds none of the
// words DISTINCT, GROUP BY, HAVING or UNION, calls no aggregate function
// in its select list (outside nested selects), and has such a FROM. -1 when
// the statement has to be counted as a subquery.
Py_ssize_t count_cut(Borrowed text);

// The bounds of text.strip().rstrip(";").
void count_bounds(Borrowed text, Py_ssize_t& begin, Py_ssize_t& end);

// The end of the statement before trailing semicolons and blanks.
Py_ssize_t statement_end(Borrowed text);

// Whether the last line of a str may hold a line comment ("--" or MySQL's
// "#"), which would swallow anything appended on the same line. False for
// anything but a str.
bool ends_in_line_comment(Borrowed text);

}  // namespace wisp::db
