"""Type checking against the stubs of wisp.wisp: mypy sees the model type through
BaseMapper[User], decorated functions keep their declared signatures, and a page is typed as
the PageResult it is."""

import os
import re
import subprocess
import sys

import pytest

EXAMPLE = os.path.join(os.path.dirname(__file__), "typing", "example.py")


@pytest.fixture(scope="module")
def revealed(tmp_path_factory):
    """mypy over the example, once: the revealed type of each reveal_type() argument, and the
    source line of each error."""
    cache = tmp_path_factory.mktemp("mypy-cache")
    # Bodies written as `...` are what decorated functions have: not an error here.
    out = subprocess.run([sys.executable, "-m", "mypy", "--no-incremental", "--cache-dir",
                          str(cache), "--disable-error-code", "empty-body", EXAMPLE],
                         capture_output=True, text=True, timeout=600).stdout
    with open(EXAMPLE, encoding="utf-8") as f:
        source = f.read().splitlines()
    found = {}
    for line, kind, text in re.findall(r":(\d+): (note|error): (.*)", out):
        code = source[int(line) - 1].strip()
        if text.startswith("Revealed type is "):
            shown = text[len('Revealed type is "'):-1].replace("builtins.", "")
            found[code[len("reveal_type("):-1]] = re.sub(r"Union\[(.*), None\]", r"\1 | None", shown)
        elif kind == "error":
            found.setdefault(code, text)
    return found


def test_decorated_functions_keep_their_signatures(revealed):
    page = ("TypedDict(wisp.wisp.PageResult, {'pageNum': int, 'pageSize': int, 'total': int, "
            "'list': list[example.User]})")
    assert [revealed.get(k) for k in ("find_name", "find_like", "users_page", "users_like",
                                      "checkout")] == [
        "def (id: int) -> str | None",
        "def (pattern: str, *, limit: int =) -> list[example.User]",
        f"def (page: wisp.db.query_runner.Page) -> {page}",  # a page, whatever the rows
        f"def (pattern: str, page: wisp.db.query_runner.Page | None =) -> {page}",
        "def (order_id: int) -> bool"]
    assert revealed.get('users_like("a%")["list"]') == "list[example.User]"
    assert revealed.get("gateway") == "wisp.db.db_gateway.WispDbGateway"
    assert 'expected "int"' in revealed['find_name("3")']


def test_mapper_methods_see_the_model_type(revealed):
    assert [revealed.get(f"UserMapper().{k}") for k in (
        "select_by_id(1)", "select_all()", "select_one(select(User.name))",
        "select_one(select(User.id, User.name))", "insert({\"name\": \"ann\"})",
        "find(\"ann\")", "adults()[\"list\"]")] == [
        "example.User | None", "list[example.User]", "str | None", "dict[str, Any] | None",
        "object", "example.User | None", "list[example.User]"]
    assert [code for code in revealed if code.startswith("reveal_type(UserMapper")] == []


def test_awaited_calls_see_the_same_types(revealed):
    page = ("TypedDict(wisp.wisp.PageResult, {'pageNum': int, 'pageSize': int, 'total': int, "
            "'list': list[example.User]})")
    assert [revealed.get(k) for k in (
        "async_gateway", "async_session", "await AsyncUserMapper().select_by_id(1)",
        "await AsyncUserMapper().select_all()", "await AsyncUserMapper().select_one(select(User.name))",
        "await AsyncUserMapper().find(\"ann\")", "await find_name_async(1)",
        "await users_page_async(Page(1, 10))", "await checkout_async(1)")] == [
        "wisp.db.db_gateway.WispDbGateway", "sqlalchemy.ext.asyncio.session.AsyncSession",
        "example.User | None", "list[example.User]", "str | None", "example.User | None",
        "str | None", page, "bool"]
