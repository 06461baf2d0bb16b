"""wisp.mapper.xml_reader: rendering of the dynamic SQL elements, and the notes
that rendering failures carry."""

import pathlib
import xml.etree.ElementTree as et

import pytest

from wisp.mapper.xml_reader import ParseMapper

MAPPER_FILE = str(pathlib.Path(__file__).parent / "mappers" / "render_mapper.xml")


@pytest.fixture(scope="module")
def mapper():
    return ParseMapper(MAPPER_FILE)


def render(mapper, xml, params=None):
    return mapper.parse_element(et.fromstring(xml), {"params": {} if params is None else params})


@pytest.mark.parametrize("xml, params, expected", [
    # if: a false test drops the body, the tail after it stays
    ("<sql>a<if test='False'>b<if test='1/0'/></if> c</sql>", {}, "a c"),
    ("<sql>a<if test=\"params['n'] > 1\"> b</if></sql>", {"n": 2}, "a b"),
    ("<if test='  len(params) == 1'>x</if>", {"n": 0}, "x"),
    # where: leading AND / OR words in any case, whole words only
    ("<where>\n and a = 1\n OR b = 2 </where>", {}, "WHERE a = 1 OR b = 2"),
    ("<where>  \n\t </where>", {}, ""),
    ("<where> AND or aNd </where>", {}, ""),
    ("<where>ANDx = 1</where>", {}, "WHERE ANDx = 1"),
    ("<where>(AND a) AND   b</where>", {}, "WHERE (AND a) AND b"),
    ("<where><if test='False'>AND a</if><if test='True'> AND b = 'x   y'</if></where>", {},
     "WHERE b = 'x   y'"),
    # trim
    ("<trim prefix='(' suffix=')'></trim>", {}, "(  )"),
    ("<trim prefix='WHERE' prefixOverrides='AND |OR '> OR  a = 1</trim>", {}, "WHERE a = 1 "),
    ("<trim prefixOverrides='AND |OR '>or a</trim>", {}, " or a "),
    ("<trim prefixOverrides='AND'>ANDROID</trim>", {}, " ROID "),
    ("<trim suffixOverrides=',|'>a,  ,</trim>", {}, " a "),
    ("<trim prefixOverrides='|'> a   b </trim>", {}, "  a   b  "),
    ("<trim>  a   b </trim>", {}, "   a   b  "),
    # set: leading and trailing commas go, inner ones stay after one blank
    ("<set><if test='True'>a = 1,</if><if test='True'>b = 2,</if></set>", {}, "SET a = 1,b = 2"),
    ("<set>\n , a = 1\n , b = 2\n</set>", {}, "SET a = 1 , b = 2"),
    ("<set> </set>", {}, "SET "),
    ("<set>note = 'a,  b',</set>", {}, "SET note = 'a,  b'"),
    # choose: first true when, else the first otherwise; own text and tails dropped
    ("<choose>t<when test='True'>A</when>u<when test='True'>B</when>"
     "<otherwise>C</otherwise></choose>", {}, "A"),
    ("<choose><when test='False'>A</when><otherwise>C<if test='True'>D</if></otherwise>"
     "<otherwise>E</otherwise></choose>", {}, "CD"),
    ("<when test='False'>w</when>", {}, "w"),
    # foreach
    ("<foreach item='id' collection='ids' open='(' separator=',' close=')'>#{id}</foreach>",
     {"ids": [7, 8, 9]}, "(#{ids_for_index_0},#{ids_for_index_1},#{ids_for_index_2})"),
    ("<foreach item='id' collection='ids' open='(' separator=',' close=')'>#{id}</foreach>",
     {"ids": []}, "()"),
    ("<foreach item='u' collection='us' open='' separator=' OR ' close=''>"
     "#{u} #{ u } ${u} #{u-1}<if test='True'> #{u}</if></foreach>",
     {"us": [1, 2]}, "#{us_for_index_0} #{ u } ${u} #{u-1} #{us_for_index_0} OR "
     "#{us_for_index_1} #{ u } ${u} #{u-1} #{us_for_index_1}"),
    # include renders the fragment with the same parameters
    ("<sql>SELECT <include refid='columns'/></sql>", {"with_age": 1}, "SELECT id, age, name"),
])
def test_elements(mapper, xml, params, expected):
    assert render(mapper, xml, params) == expected


@pytest.mark.parametrize("element", [
    et.Element("If", test="True"),
    et.Element("include", refid="search"),
    et.Element("{urn:x}where"),
])
def test_unlisted_tags_render_none(mapper, element):
    assert mapper.parse_element(element, {"params": {}}) is None


def test_namespaces_of_tests_and_collections(mapper):
    params = {"ids": [1]}
    param = {"params": params}
    xml = "<sql><if test=\"params['ids']\">a</if><foreach item='i' collection='ids' open='' " \
          "separator='' close=''>b</foreach></sql>"
    assert mapper.parse_element(et.fromstring(xml), param) == "ab"
    # eval gives each namespace dict its __builtins__ key.
    assert "__builtins__" in params and "__builtins__" in param
    with pytest.raises(NameError, match="name 'ids' is not defined"):
        render(mapper, "<if test='ids'>a</if>", {"ids": [1]})


def test_expressions_are_evaluated_again_for_each_call(mapper):
    el = et.fromstring("<if test=\"params['n'] > 1\">x</if>")
    assert [mapper.parse_element(el, {"params": {"n": n}}) for n in (0, 2, 1, 5)] == \
        ["", "x", "", "x"]


@pytest.mark.parametrize("xml, params, exc, message", [
    ("<if>x</if>", {}, KeyError, "'test'"),
    ("<choose><when>x</when></choose>", {}, KeyError, "'test'"),
    ("<include/>", {}, KeyError, "'refid'"),
    ("<include refid='nope'/>", {}, KeyError, "'nope'"),
    ("<foreach collection='ids' open='' close='' separator=''/>", {"ids": []}, KeyError, "'item'"),
    ("<foreach item='i' collection='ids' open='' close=''/>", {"ids": []}, KeyError, "'separator'"),
    ("<foreach item='i' collection='ids' open='' close='' separator=''/>", {"ids": (1,)},
     Exception, "Collection must be a list"),
    ("<choose><when test='False'>x</when></choose>", {}, Exception, "Missing otherwise element"),
    ("<sql>a<If test='True'>x</If></sql>", {}, TypeError,
     'can only concatenate str (not "NoneType") to str'),
    ("<sql><include refid='search'/></sql>", {}, TypeError,
     'can only concatenate str (not "NoneType") to str'),
    ("<if test='1/0'/>", {}, ZeroDivisionError, "division by zero"),
    ("<if test='params['/>", {}, SyntaxError, "never closed"),
])
def test_element_failures(mapper, xml, params, exc, message):
    with pytest.raises(exc) as info:
        render(mapper, xml, params)
    assert type(info.value) is exc and message in str(info.value)


def test_foreach_needs_the_params_entry(mapper):
    el = et.fromstring("<foreach item='i' collection='ids' open='' close='' separator=''/>")
    with pytest.raises(KeyError, match="'params'"):
        mapper.parse_element(el, {"ids": [1]})


# ---------------------------------------------------------------------------
# Whole statements


@pytest.mark.parametrize("params, sql, binds", [
    ({}, "SELECT id, name FROM users ORDER BY id", {}),
    ({"name": "al", "min_age": 0, "max_age": 9, "order": "age", "with_age": True},
     "SELECT id, age, name FROM users WHERE name = :name AND age >= :min_age "
     "AND age <= :max_age ORDER BY age", {"name": "al", "min_age": 0, "max_age": 9}),
    ({"note": 1, "ids": [4, 5], "order": "name"},
     "SELECT id, name FROM users WHERE note = 'two  blanks' AND id IN "
     "(:ids_for_index_0, :ids_for_index_1) ORDER BY name",
     {"ids_for_index_0": 4, "ids_for_index_1": 5}),
])
def test_reference_statement(mapper, params, sql, binds):
    clause, bound = mapper.select("search", params)
    assert (clause.text, bound) == (sql, binds)


@pytest.mark.parametrize("params, sql", [
    ({"id": 1, "name": "n", "age": 2}, "UPDATE users SET name = :name, age = :age WHERE id = :id"),
    ({"id": 1, "note": "x"}, "UPDATE users SET note = :note WHERE id = :id"),
])
def test_update_with_set(mapper, params, sql):
    assert mapper.update("update_user", params)[0].text == sql


@pytest.mark.parametrize("method, sql_id, params, exc, detail", [
    ("select", "bad_test", {}, KeyError, ", expression \"params['missing'] > 1\""),
    ("get_sql", "bad_refid", {}, KeyError, ""),
    ("select", "not_list", {"ids": (1, 2)}, Exception, ", collection 'ids'"),
    ("select", "not_list", {}, NameError, ", expression 'isinstance(ids,list)'"),
    ("select", "misspelt", {}, TypeError, ", unexpected element 'If'"),
    ("select", "include_select", {}, TypeError, ", unexpected element 'select'"),
    ("select", "short_list", {"ids": [1]}, IndexError, ""),
])
def test_failures_name_file_statement_and_cause(mapper, method, sql_id, params, exc, detail):
    with pytest.raises(exc) as info:
        getattr(mapper, method)(sql_id, params)
    assert type(info.value) is exc
    assert info.value.__notes__ == [f"mapper file {MAPPER_FILE!r}, statement {sql_id!r}{detail}"]


def test_direct_rendering_notes_the_expression(mapper):
    with pytest.raises(ZeroDivisionError) as info:
        render(mapper, "<where><if test='1 // 0'>x</if></where>")
    assert info.value.__notes__ == ["expression '1 // 0'"]


class HashedByName(ParseMapper):
    # Hashes by an attribute it only sets once the base constructor is done.
    def __init__(self, xml_path):
        super().__init__(xml_path)
        self.name = self.namespace

    def __hash__(self):
        return hash(self.name)


def test_subclass_with_own_hashing_is_built_and_noted():
    with pytest.raises(TypeError) as info:
        HashedByName(MAPPER_FILE).select("misspelt", {})
    assert info.value.__notes__ == ["statement 'misspelt', unexpected element 'If'"]
