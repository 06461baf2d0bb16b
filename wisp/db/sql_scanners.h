// The runner's scanners over SQL text, for the count and page statements of
// a page: where a statement can be cut to count its rows, where it ends, and
// whether its last line may be a line comment. They read a str by code point
// and run no Python code.
#pragma once

#include "wisp/rt.h"

namespace wisp::db {

// What the scanners take for quoted text and comments. The default is the
// reading every statement gets from count_query and limit_query, which know
// no database: a backslash escapes inside quotes and "#" starts a line
// comment, as on MySQL. PostgreSQL's reading, for the pages the runner
// counts there: "#" is an operator, a backslash escapes only in E'...'
// strings, and $tag$...$tag$ quotes text.
struct Syntax {
  bool hash_comments = true;
  bool backslash_escapes = true;
  bool dollar_quotes = false;
};
constexpr Syntax kPostgres{false, false, true};

// Where the simple count form "SELECT COUNT(*) as count FROM <rest>" takes
// its <rest> from `text` (already stripped of blanks and semicolons at both
// ends): the position after the first top-level "FROM" that follows the
// select list, when the statement starts with SELECT, holds none of the
// words DISTINCT, GROUP BY, HAVING or UNION, calls no aggregate function
// in its select list (outside nested selects), and has such a FROM. -1 when
// the statement has to be counted as a subquery.
Py_ssize_t count_cut(Borrowed text, const Syntax& syntax = Syntax{});

// A top-level ORDER BY at or after `from`: where it starts (-1 for none),
// and whether another clause (LIMIT, OFFSET, FETCH, FOR) follows its items.
struct OrderBy {
  Py_ssize_t start = -1;
  bool followed = false;
};
OrderBy top_level_order_by(Borrowed text, Py_ssize_t from, const Syntax& syntax);

// Whether `word` (lower-case ASCII) stands as a whole word at the top level
// of `text`: outside parentheses, quoted text and comments.
bool has_top_level_word(Borrowed text, const char* word, const Syntax& syntax);

// The bounds of text.strip().rstrip(";").
void count_bounds(Borrowed text, Py_ssize_t& begin, Py_ssize_t& end);

// The end of the statement before trailing semicolons and blanks.
Py_ssize_t statement_end(Borrowed text);

// Whether the last line of a str may hold a line comment ("--" or MySQL's
// "#"), which would swallow anything appended on the same line. False for
// anything but a str.
bool ends_in_line_comment(Borrowed text);

}  // namespace wisp::db
