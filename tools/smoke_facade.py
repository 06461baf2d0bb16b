"""A short run of the installed package: configuration, a mapped statement, a transaction.

Run by tools/build-dist.sh in the fresh environment the wheel was installed
into, on an SQLite file in a temporary folder.
"""

import contextlib
import io
import os
import tempfile

from sqlalchemy import text

from wisp.db.query_runner import Page
from wisp.wisp import DBConfig, WispConfig, db_session, get_current_db, switch_datasource

MAPPER = """<?xml version="1.0" encoding="UTF-8"?>
<mapper namespace="NoteMapper">
  <select id="find">
    SELECT id, body FROM notes
    <where>
      <if test="params.get('body')">body = #{body}</if>
      <if test="params.get('ids')">AND id IN
        <foreach collection="ids" item="i" open="(" separator="," close=")">#{i}</foreach>
      </if>
    </where>
    ORDER BY id
  </select>
  <insert id="add">INSERT INTO notes (body) VALUES (#{body})</insert>
</mapper>
"""


def main():
    with tempfile.TemporaryDirectory() as tmp:
        os.mkdir(os.path.join(tmp, "mappers"))
        with open(os.path.join(tmp, "mappers", "notes.xml"), "w", encoding="utf-8") as f:
            f.write(MAPPER)
        with contextlib.redirect_stdout(io.StringIO()):
            WispConfig(DBConfig(
                primary="main", mapper_xml_path=os.path.join(tmp, "mappers"),
                main={"db_type": "sqlite", "sqlite_path": os.path.join(tmp, "main.db")},
                other={"db_type": "sqlite", "sqlite_path": os.path.join(tmp, "other.db")},
            ))
        with db_session() as session:
            session.execute(text("CREATE TABLE notes (id INTEGER PRIMARY KEY, body TEXT)"))
        gateway = WispConfig.datasource["main"]["db_gateway"]
        for body in ("a", "b", "c"):
            gateway.execute_sql("add", "NoteMapper", {"body": body})
        found = gateway.execute_sql("find", "NoteMapper", {"ids": [1, 3]}, None, list)
        assert [row["body"] for row in found] == ["a", "c"], found
        page = gateway.execute_sql("find", "NoteMapper", {}, Page(1, 2), list)
        assert page["total"] == 3 and len(page["list"]) == 2, page

        gateway.begin_tx()
        try:
            gateway.execute_sql("add", "NoteMapper", {"body": "lost"})
            gateway.rollback()
        finally:
            gateway.close()
        assert not gateway.execute_sql("find", "NoteMapper", {"body": "lost"}, None, list)

        with switch_datasource("other"):
            assert get_current_db() == "other"
        assert get_current_db() == "main"
        for entry in WispConfig.datasource.values():
            entry["db"].dispose()
    print("smoke run: ok")


if __name__ == "__main__":
    main()
