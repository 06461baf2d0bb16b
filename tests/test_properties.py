"""Randomised checks of the text utilities: no crash, only the documented exceptions,
and the same answers as the plain regular expressions they are defined by."""

import re
import types
import warnings

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from wisp.utils.arg_marks import get_params, get_sql_param
from wisp.utils.clause_edit import replace_sql_first, replace_sql_last
from wisp.utils.literal_tools import convert_cdata, replace_cdata, sql_string_format

SETTINGS = settings(max_examples=300, deadline=None, database=None,
                    suppress_health_check=[HealthCheck.too_slow])

TOKENS = [
    "#{", "${", "$f{", "{", "}", "}}", "(", ")", "()", ",", " ", "  ", "\n", "\t", "\r\n",
    "sql_type", "python_type", "type_handler", "=", "sql_type=", " python_type = ",
    "type_handler=H", ",sql_type=INTEGER", "INT", "now()", "f(x)", "date_format(now())",
    "<![CDATA[", "]]>", "]]", "<!", "&amp;", "&lt;", "&gt;", "&quot;", "&", "<", ">", '"', "'",
    "--", " -- c", "AND ", " and", "OR", "or", ",", "where", "é", "ß", "中文", "名字",
    "\U0001F600", "\x00", "\\", "\\1", "a", "id", "x",
]

fragment = st.one_of(st.sampled_from(TOKENS), st.text(max_size=6))
short_text = st.lists(fragment, max_size=30).map("".join)
# long and unbalanced texts: a random text repeated, or many openers without a closer
long_text = st.one_of(
    st.builds(lambda t, n: t * n, short_text, st.integers(2, 20)),
    st.builds(lambda opener, n, tail: opener * n + tail,
              st.sampled_from(["#{", "${", "$f{", "<![CDATA[", "#{a", "${ sql_type="]),
              st.integers(1, 1500), short_text),
)
any_text = st.one_of(short_text, short_text, long_text)
wrong_type = st.one_of(st.none(), st.integers(), st.floats(allow_nan=False), st.binary(),
                       st.lists(st.text(max_size=3), max_size=2), st.just(str))

KINDS = [(r"\#\{.+?\}", "#"), (r"\$\{.+?\}", "$"), (r"\$f\{.+?\}", "$f")]
FUNCTION = re.compile(r".+?\(.+?\)")
ATTRIBUTES = [(r"(\s*%s\s*=\s*)(?P<%s>\w+)?" % (g, g), g)
              for g in ("sql_type", "python_type", "type_handler")]


def reference_scan(text):
    """What a scan of text must give: tuples describing each placeholder, or None when an
    attribute written with its equals sign but without a value must raise AttributeError."""
    out = []
    for pattern, prefix in KINDS:
        for match in dict.fromkeys(re.findall(pattern, text)):
            inside = match.replace(prefix + "{", "").replace("}", "")
            if FUNCTION.match(inside):
                out.append((match, True, None, inside, inside.split("(")[0], None, None, None))
                continue
            values = []
            for attr_pattern, group in ATTRIBUTES:
                m = re.search(attr_pattern, match)
                if m and m.group(group) is None:
                    return None
                values.append(m.group(group).strip() if m else None)
            name = inside.split(",")[0]
            out.append((match, False, name, None, None, *values))
    return out


def observed(result):
    out = []
    for mp in result:
        sp = mp.sql_param
        assert mp.param_name == sp.param_name
        if sp.is_function:
            assert not hasattr(mp, "name")
        else:
            assert mp.name == sp.param_name
        out.append((mp.full_name, sp.is_function, sp.param_name, sp.function_expression,
                    sp.function_name, mp.sql_type, mp.python_type, mp.type_handler))
    return out


def scan_or_error(call, *args):
    try:
        return observed(call(*args))
    except AttributeError:
        return None


@SETTINGS
@given(any_text)
def test_get_sql_param_matches_reference(text):
    assert scan_or_error(get_sql_param, text) == reference_scan(text)


@SETTINGS
@given(st.one_of(st.none(), any_text), st.one_of(st.none(), any_text))
def test_get_params_scans_text_then_tail(text, tail):
    def kept(part):
        return part if part and re.search(r"\S", part) else ""

    child = types.SimpleNamespace(text=text, tail=tail)
    assert scan_or_error(get_params, child) == reference_scan(kept(text) + kept(tail))


@SETTINGS
@given(wrong_type)
def test_get_sql_param_wrong_type(value):
    try:
        get_sql_param(value)
    except TypeError:
        pass
    else:
        raise AssertionError("no TypeError for %r" % (value,))


def escape(text):
    return (text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
            .replace('"', "&quot;"))


@SETTINGS
@given(any_text)
def test_replace_cdata(text):
    result = replace_cdata(text)
    m = re.search(r"(<!\[CDATA\[)([\s\S]*?)(\]\]>)", text)
    if m is None:
        assert result == text
    else:
        assert result == text.replace(m.group(), escape(m.group(2)))


@SETTINGS
@given(any_text, st.booleans())
def test_convert_cdata(text, reverse):
    result = convert_cdata(text, reverse)
    if reverse:
        assert result == escape(text)
        assert not set('<>"') & set(result)
        if "&" not in text:
            assert convert_cdata(result) == text
    else:
        assert result == (text.replace("&amp;", "&").replace("&lt;", "<")
                          .replace("&gt;", ">").replace("&quot;", '"'))


@SETTINGS
@given(any_text)
def test_sql_string_format(text):
    result = sql_string_format(text)
    assert result.startswith("'") and result.endswith("'")
    assert result in (text, "'" + text, text + "'", "'" + text + "'")


OVERRIDES = st.one_of(
    st.sampled_from(["AND|OR", "and", ",", "WHERE", "SET", "a{2}", r"\.", "", ".", "中文",
                     "(", ")", "[", "*", "a{2,1}", "(?P<x>a)", "|", "^", "$", r"\s*--"]),
    st.text(alphabet="aAnNdDoOrR|()[]?.^$ ,-\\", max_size=6),
)
TEMPLATES = st.one_of(
    st.sampled_from(["", " ", "X", r"\1", r"\2", r"\3", r"\g<0>", r"\g<x>", r"\g<1", "\\",
                     r"\q", r"\n", "\\\\", "é"]),
    st.text(max_size=6),
)
CLAUSE_PATTERNS = [(replace_sql_first, r"^[\s]*?({})"), (replace_sql_last, r"({})(\s+--.+)?$")]


@SETTINGS
@given(st.sampled_from(CLAUSE_PATTERNS), any_text, OVERRIDES, TEMPLATES)
def test_clause_replacement_matches_re_sub(func_and_pattern, text, overrides, template):
    func, pattern = func_and_pattern
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            expected = re.sub(pattern.format(overrides), template, text.strip(),
                              count=1, flags=re.IGNORECASE)
        except Exception as exc:  # whatever re refuses, the function refuses the same way
            expected_exc = type(exc)
        else:
            expected_exc = None
        try:
            result = func(text, overrides, template)
        except Exception as exc:
            assert type(exc) is expected_exc, exc
            assert isinstance(exc, (re.error, IndexError, OverflowError))
            return
    assert expected_exc is None
    assert type(result) is str
    assert result == expected


@SETTINGS
@given(st.sampled_from([replace_sql_first, replace_sql_last, None]), st.integers(0, 2),
       wrong_type)
def test_str_arguments_refuse_other_types(func, position, value):
    if func is None:
        call = lambda: sql_string_format(value)  # noqa: E731
    else:
        args = ["and x", "AND", ""]
        args[position] = value
        call = lambda: func(*args)  # noqa: E731
    try:
        call()
    except TypeError as exc:
        assert str(exc).startswith("Argument '")
    else:
        raise AssertionError("no TypeError for %r" % (value,))
