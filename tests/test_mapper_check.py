"""Mapper files checked before they run: check_mappers, `python -m wisp check` and
`render`, WispConfig's refusal of files with errors, and the notes that name the file,
namespace and statement of a loading or lookup failure."""

import contextlib
import pathlib
import subprocess
import sys
import textwrap
import xml.etree.ElementTree as et

import pytest

from wisp.mapper.xml_reader import MapperProblem, ParseMapper, check_mappers

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples" / "mappers"

# One error of each kind, each on its own line.
LANGUAGE = """\
<mapper namespace="B">
  <sql id="cols">id</sql>
  <select id="one" resultType="no_such_pkg.User">SELECT 1</select>
  <select id="two">SELECT <include refid="nope"/></select>
  <select id="two">SELECT <iff test="True">x</iff></select>
  <update id="three"><if tset="True">x</if></update>
  <delete id="four"><if test="a ==">x</if></delete>
  <select id="five"><foreach collection="a b" item="i" open="" close="" separator="">x</foreach></select>
  <select id="six"><bind name="p" value="'%' +"/>x</select>
  <insert>INSERT</insert>
</mapper>
"""
EXPECTED = [
    ("b_language.xml", 3, "resultType 'no_such_pkg.User' of 'one': 无法导入类型 no_such_pkg.User: "
                          "No module named 'no_such_pkg'"),
    ("b_language.xml", 4, "include of 'nope': no <sql> fragment has that id"),
    ("b_language.xml", 5, "duplicate id 'two' (also at line 4): the later one replaces it"),
    ("b_language.xml", 5, "unknown element <iff>"),
    ("b_language.xml", 6, "<if>: unknown attribute 'tset'"),
    ("b_language.xml", 6, "<if> without test"),
    ("b_language.xml", 7, "test 'a ==' does not compile: "),
    ("b_language.xml", 8, "collection 'a b' does not compile: "),
    ("b_language.xml", 9, "value \"'%' +\" does not compile: "),
    ("b_language.xml", 10, "<insert> without id"),
    ("c_anonymous.xml", 1, "<mapper> without namespace"),
    ("d/a_malformed.xml", 3, "mismatched tag: line 3, column 2"),
]


@pytest.fixture
def broken(tmp_path):
    folder = tmp_path / "broken"
    (folder / "d").mkdir(parents=True)
    (folder / "b_language.xml").write_text(LANGUAGE, encoding="utf-8")
    (folder / "c_anonymous.xml").write_text("<mapper>\n  <select id='x'>SELECT 1</select>\n</mapper>")
    (folder / "d" / "a_malformed.xml").write_text("<mapper namespace='A'>\n<select id='x'>\n</mapper>")
    (folder / "notes.txt").write_text("not a mapper")
    return folder


def matches(lines, folder):
    assert len(lines) == len(EXPECTED), lines
    for line, (name, number, message) in zip(lines, EXPECTED):
        assert line.startswith(f"{folder / name}:{number}: {message}"), line


def wisp_command(*args, cwd):
    return subprocess.run([sys.executable, "-m", "wisp", *args], cwd=cwd, capture_output=True,
                          text=True, timeout=120)


def test_check_reports_every_problem_with_file_and_line(broken):
    problems = check_mappers(broken)
    matches([str(p) for p in problems], broken)
    assert all(type(p) is MapperProblem and not p.warning for p in problems)
    done = wisp_command("check", str(broken), str(EXAMPLES), cwd=broken.parent)
    assert (done.returncode, done.stdout.splitlines()) == (1, [str(p) for p in problems])


def test_check_passes_the_example_mappers(tmp_path):
    done = wisp_command("check", str(EXAMPLES), cwd=tmp_path)
    assert (done.returncode, done.stdout, done.stderr) == (0, "", "")


APP = '''\
from sqlalchemy.orm import DeclarativeBase, Mapped, mapped_column

from wisp.wisp import BaseMapper


class Base(DeclarativeBase):
    pass


class Thing(Base):
    __tablename__ = "things"
    id: Mapped[int] = mapped_column(primary_key=True)


class ThingMapper(BaseMapper[Thing]):
    def find(self, name): ...

    def lost(self):
        pass

    def real(self):
        return 1

    @classmethod
    def gone(cls):
        """Declared only."""
'''
THINGS = """\
<mapper namespace="ThingMapper">
  <sql id="cols">id</sql>
  <select id="find">SELECT <include refid="cols"/> FROM things WHERE name = #{name}</select>
  <select id="select_all">SELECT id FROM things</select>
  <select id="orphan">SELECT 1</select>
</mapper>
"""


def test_check_with_the_application_imported(tmp_path):
    (tmp_path / "app_mappers.py").write_text(APP, encoding="utf-8")
    (tmp_path / "things.xml").write_text(THINGS, encoding="utf-8")
    done = wisp_command("check", "--import", "app_mappers", "things.xml", cwd=tmp_path)
    app = tmp_path / "app_mappers.py"
    assert (done.returncode, done.stdout.splitlines()) == (1, [
        f"{app}:18: ThingMapper.lost is declared by its signature alone, and namespace "
        "'ThingMapper' has no statement 'lost'",
        f"{app}:24: ThingMapper.gone is declared by its signature alone, and namespace "
        "'ThingMapper' has no statement 'gone'",
        "things.xml:5: warning: statement 'orphan': class ThingMapper declares no method of "
        "that name",
    ])
    done = wisp_command("check", "--import", "no_such_app", "things.xml", cwd=tmp_path)
    assert done.returncode == 1 and "ModuleNotFoundError" in done.stderr


ASYNC_APP = APP.replace("BaseMapper", "AsyncBaseMapper").replace("ThingMapper", "Other") + '''

class AsyncThingMapper(AsyncBaseMapper[Thing]):
    async def find(self, name): ...

    async def lost(self):
        """Declared only."""

    def plain(self): ...

    def forgot(self):
        pass

    async def real(self):
        return 1

    def helper(self):
        return 2
'''
ASYNC_THINGS = THINGS.replace("ThingMapper", "AsyncThingMapper").replace(
    '<select id="orphan">', '<select id="plain">SELECT 1</select>\n  <select id="orphan">')


def test_check_collects_async_mappers(tmp_path):
    (tmp_path / "async_app.py").write_text(ASYNC_APP, encoding="utf-8")
    (tmp_path / "things.xml").write_text(ASYNC_THINGS, encoding="utf-8")
    done = wisp_command("check", "--import", "async_app", "things.xml", cwd=tmp_path)
    app = tmp_path / "async_app.py"
    # Other: its plain defs declared by signature alone, none served (no namespace Other)
    other = [f"{app}:{line}: Other.{name} is declared by its signature alone with a plain def, "
             f"and namespace 'Other' has no statement '{name}': declare it async def"
             for line, name in [(16, "find"), (18, "lost"), (24, "gone")]]
    assert (done.returncode, done.stdout.splitlines()) == (1, other + [
        f"{app}:32: AsyncThingMapper.lost is declared by its signature alone, and namespace "
        "'AsyncThingMapper' has no statement 'lost'",
        f"{app}:35: AsyncThingMapper.plain is declared by its signature alone with a plain def, "
        "so statement 'plain' of namespace 'AsyncThingMapper' cannot be awaited through it: "
        "declare it async def",
        f"{app}:37: AsyncThingMapper.forgot is declared by its signature alone with a plain def, "
        "and namespace 'AsyncThingMapper' has no statement 'forgot': declare it async def",
        "things.xml:6: warning: statement 'orphan': class AsyncThingMapper declares no method of "
        "that name",
    ])


class Parent:
    def served(self): ...

    def overridden(self): ...

    def redeclared(self):
        return 1


class Child(Parent):
    def overridden(self):
        return 1

    def redeclared(self): ...


def test_a_method_is_judged_as_the_class_resolves_it(tmp_path):
    path = tmp_path / "child.xml"
    path.write_text('<mapper namespace="Child"><select id="served">SELECT 1</select></mapper>',
                    encoding="utf-8")
    assert [p.message for p in check_mappers(str(path), mappers=[Child])] == [
        "Child.redeclared is declared by its signature alone, and namespace 'Child' has no "
        "statement 'redeclared'"]


RENDERED = """\
<mapper namespace="Users">
  <select id="search">
    SELECT id, name FROM users
    <where>
      <if test="params.get('name')">AND name = #{name}</if>
      <if test="params.get('people')">AND (name, age) IN
        <foreach collection="people" item="p" open="(" separator=", " close=")">(#{p.name}, #{p.age})</foreach>
      </if>
    </where>
  </select>
</mapper>
"""


def test_render_prints_statement_binds_and_page(tmp_path):
    (tmp_path / "users.xml").write_text(RENDERED, encoding="utf-8")
    done = wisp_command("render", "users.xml", "Users.search", "--params",
                        '{"people": [{"name": "ann", "age": 3}, {"name": "bob", "age": 4}]}',
                        "--page", "2,10", cwd=tmp_path)
    sql = ("SELECT id, name FROM users WHERE (name, age) IN ((:p_name_0, :p_age_0), "
           "(:p_name_1, :p_age_1))")
    assert (done.returncode, done.stdout.splitlines()) == (0, [
        sql,
        'binds: {"p_name_0": "ann", "p_age_0": 3, "p_name_1": "bob", "p_age_1": 4}',
        "count: SELECT COUNT(*) as count FROM users WHERE (name, age) IN ((:p_name_0, :p_age_0), "
        "(:p_name_1, :p_age_1))",
        f"page: {sql} limit :page_size offset :page_offset",
        'page binds: {"page_size": 10, "page_offset": 10}',
    ])
    done = wisp_command("render", "users.xml", "Other.search", cwd=tmp_path)
    assert done.returncode == 1 and "declares namespace 'Users', not 'Other'" in done.stderr


UNRESOLVED = """\
<mapper namespace="Users">
  <select id="search" resultType="{}">SELECT id FROM users WHERE age &gt;= #{{age}}</select>{}
</mapper>
"""
NOT_RESOLVED = "python -m wisp render: warning: a result type is not resolved here (rendering needs none): "
NOTE = "mapper file 'users.xml', namespace 'Users', resultType of statement 'search'"


@pytest.mark.parametrize("result_type, more, status, stdout, stderr", [
    ("__main__.User", "", 0, ["SELECT id FROM users WHERE age >= :age", 'binds: {"age": 3}'],
     [NOT_RESOLVED + "ValueError: 无法导入类型 __main__.User: module '__main__' has no attribute "
      "'User'", NOTE]),
    ("no_such_pkg.User", "", 0, ["SELECT id FROM users WHERE age >= :age", 'binds: {"age": 3}'],
     [NOT_RESOLVED + "ValueError: 无法导入类型 no_such_pkg.User: No module named 'no_such_pkg'",
      NOTE]),
    ("list", "", 0, ["SELECT id FROM users WHERE age >= :age", 'binds: {"age": 3}'],
     [NOT_RESOLVED + "TypeError: please check result_type: can`t set type: list", NOTE]),
    # a file that does not load for another reason too fails as loading does
    ("no_such_pkg.User", "<delete>DELETE</delete>", 1, [],
     ["python -m wisp render: ValueError: 无法导入类型 no_such_pkg.User: No module named "
      "'no_such_pkg'", NOTE]),
])
def test_render_needs_no_result_type(tmp_path, result_type, more, status, stdout, stderr):
    (tmp_path / "users.xml").write_text(UNRESOLVED.format(result_type, more), encoding="utf-8")
    done = wisp_command("render", "users.xml", "Users.search", "--params", '{"age": 3}',
                        cwd=tmp_path)
    assert (done.returncode, done.stdout.splitlines(), done.stderr.splitlines()) == (
        status, stdout, stderr)
    with pytest.raises(Exception):  # loading itself is unchanged
        ParseMapper(str(tmp_path / "users.xml"))


def test_render_the_example_mapper_from_anywhere(tmp_path):
    done = wisp_command("render", str(EXAMPLES / "user_mapper.xml"), "UserMapper.search",
                        "--params", '{"min_age": 30}', cwd=tmp_path)
    assert done.returncode == 0 and "无法导入类型 __main__.User" in done.stderr
    assert done.stdout.splitlines() == [
        "SELECT id, name, age, city FROM quickstart_users WHERE age >= :min_age ORDER BY id",
        'binds: {"min_age": 30}']


# ---------------------------------------------------------------------------
# WispConfig checks the files it loads


def configure(w, folder, **options):
    with contextlib.redirect_stdout(None):
        return w.WispConfig(w.DBConfig(None, str(folder), a={"db_type": "sqlite",
                                                              "sqlite_path": ":memory:"}),
                            **options)


# LANGUAGE without the errors that stop loading the file.
LOADABLE = LANGUAGE.replace("  <insert>INSERT</insert>\n", "").replace("no_such_pkg.User", "dict")


def test_wispconfig_refuses_mapper_files_with_errors(wisp_registry, broken):
    (broken / "d" / "a_malformed.xml").unlink()
    (broken / "c_anonymous.xml").unlink()
    (broken / "b_language.xml").write_text(LOADABLE, encoding="utf-8")
    with pytest.raises(Exception) as info:
        configure(wisp_registry, broken)
    assert type(info.value) is Exception
    lines = str(info.value).splitlines()
    assert lines[0] == "mapper files have errors:" and len(lines) == 9
    assert not wisp_registry.WispConfig._initialized and wisp_registry.WispConfig.wisp_mapper_dict == {}
    with pytest.warns(UserWarning) as warned:
        configure(wisp_registry, broken, mapper_errors="warn")
    assert [str(w.message) for w in warned] == lines[1:]
    assert list(wisp_registry.WispConfig.wisp_mapper_dict) == ["B"]


def test_a_file_that_cannot_load_fails_as_loading_does(wisp_registry, broken):
    (broken / "b_language.xml").write_text(LOADABLE, encoding="utf-8")
    with pytest.raises(et.ParseError) as info:
        configure(wisp_registry, broken)
    assert str(info.value) == "mismatched tag: line 3, column 2"
    assert info.value.__notes__[0] == f"mapper file {str(broken / 'd' / 'a_malformed.xml')!r}"
    listed = info.value.__notes__[1].splitlines()
    assert listed[0] == "mapper files have errors:"
    assert sorted(listed[1:]) == sorted(str(p) for p in check_mappers(broken))
    with pytest.raises(ValueError):
        configure(wisp_registry, broken, mapper_errors="ignore")


# ---------------------------------------------------------------------------
# Notes naming what a loading or lookup failure is about


@pytest.mark.parametrize("xml, action, exc, message, note", [
    ("<mapper namespace='N'><select>SELECT 1</select></mapper>", None, Exception, "Missing id",
     "{file}, namespace 'N', an element without id: 'select'"),
    ("<mapper namespace='N'><select id='a' resultType='list'/></mapper>", None, TypeError,
     "please check result_type: can`t set type: list", "{file}, namespace 'N', resultType of statement 'a'"),
    ("<mapper namespace='N'><select id='a'>", None, et.ParseError, "no element found: line 1, column 37",
     "{file}"),
    ("<mapper namespace='N'/>", lambda m: m.get_sql("nope", {}), Exception, "Missing id",
     "{file}, namespace 'N', id 'nope'"),
    ("<mapper namespace='N'><select id='a'/></mapper>", lambda m: m.update("a", {}), Exception,
     "Not an update", "{file}, namespace 'N', id 'a'"),
    ("<mapper/>", lambda m: m.namespace, AttributeError,
     "'ParseMapper' object has no attribute 'namespace'",
     "{file} declares no namespace (<mapper namespace=\"...\">)"),
])
def test_failures_name_file_namespace_and_id(tmp_path, xml, action, exc, message, note):
    path = tmp_path / "m.xml"
    path.write_text(xml, encoding="utf-8")
    with pytest.raises(exc) as info:
        action(ParseMapper(str(path))) if action else ParseMapper(str(path))
    assert type(info.value) is exc and str(info.value) == message
    assert info.value.__notes__ == [note.format(file=f"mapper file {str(path)!r}")]
