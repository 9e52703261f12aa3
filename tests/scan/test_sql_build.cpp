// SQL statement builders: exact texts, literals quoted for SQLite, names
// checked. The texts are also prepared and run against a real SQLite file.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>

#include "scan/catalog/sql_build.h"
#include "support/test_support.h"

namespace {

TEST(SqlBuild, DocumentedTexts)
{
    sqlcreate create;
    sqlcreate_set_table(&create, "t", 1);
    sqlcreate_add_integer(&create, "a", 0, 1);
    sqlcreate_add_text(&create, "b", "");
    EXPECT_EQ(sqlcreate_build(&create).str(), "CREATE TABLE IF NOT EXISTS t (a INTEGER PRIMARY KEY, b TEXT);");
    sqlcreate_set_table(&create, "t", 0); // clears the columns
    EXPECT_EQ(sqlcreate_build(&create).str(), "CREATE TABLE t ();");
    sqlcreate_add_integer(&create, "n", 0, 0); // default 0: no DEFAULT clause
    sqlcreate_add_integer(&create, "m", -7, 0);
    sqlcreate_add_text(&create, "s", "x");
    EXPECT_EQ(sqlcreate_build(&create).str(), "CREATE TABLE t (n INTEGER, m INTEGER DEFAULT -7, s TEXT DEFAULT 'x');");

    sqlinsert insert;
    sqlinsert_set_table(&insert, "t");
    sqlinsert_add_column(&insert, "a");
    sqlinsert_add_column(&insert, "b");
    EXPECT_EQ(sqlinsert_build(&insert).str(), "INSERT INTO t (a, b) VALUES (?, ?);");
    sqlinsert_add_integer(&insert, "c", 42);
    EXPECT_EQ(sqlinsert_build(&insert).str(), "INSERT INTO t (a, b, c) VALUES (?, ?, 42);");

    sqlselect select = sqlselect_new();
    sqlselect_set_table(&select, "t");
    EXPECT_EQ(sqlselect_build(&select).str(), "SELECT * FROM t;");
    sqlselect_add_column(&select, "a");
    sqlselect_add_column(&select, "b");
    sqlselect_set_where(&select, "a = ?");
    sqlselect_set_order(&select, "b", SQLORDER_DESC);
    sqlselect_set_limit(&select, 1);
    EXPECT_EQ(sqlselect_build(&select).str(), "SELECT a, b FROM t WHERE a = ? ORDER BY b DESC LIMIT 1;");
    sqlselect_set_order(&select, "b", SQLORDER_NONE);
    sqlselect_set_limit(&select, 0);
    EXPECT_EQ(sqlselect_build(&select).str(), "SELECT a, b FROM t WHERE a = ? ORDER BY b;");
    sqlselect_set_order(&select, "a", SQLORDER_ASC);
    sqlselect_set_where(&select, "");
    sqlselect_set_limit(&select, 4000000000u);
    EXPECT_EQ(sqlselect_build(&select).str(), "SELECT a, b FROM t ORDER BY a ASC LIMIT 4000000000;");
}

TEST(SqlBuild, PlaceholderColumnsAreLeftOutOfCreate)
{
    sqlcreate create;
    sqlcreate_set_table(&create, "t", 0);
    sqlcreate_add_integer(&create, "a", 0, 0);
    sqlcolumn placeholder;
    placeholder.name = "p";
    create.columns.push_back(placeholder);
    sqlcreate_add_text(&create, "b", "");
    create.columns.push_back(placeholder);
    EXPECT_EQ(sqlcreate_build(&create).str(), "CREATE TABLE t (a INTEGER, b TEXT);");
}

TEST(SqlBuild, BadNamesGiveNoStatement)
{
    sqlcreate create;
    sqlcreate_set_table(&create, "t; DROP TABLE nodes", 0);
    EXPECT_TRUE(sqlcreate_build(&create).str().empty());
    sqlcreate_set_table(&create, "t", 0);
    sqlcreate_add_integer(&create, "a b", 0, 0);
    EXPECT_TRUE(sqlcreate_build(&create).str().empty());

    sqlinsert insert;
    sqlinsert_set_table(&insert, "");
    EXPECT_TRUE(sqlinsert_build(&insert).str().empty());
    sqlinsert_set_table(&insert, "t");
    sqlinsert_add_column(&insert, "\"a\"");
    EXPECT_TRUE(sqlinsert_build(&insert).str().empty());

    sqlselect select = sqlselect_new();
    sqlselect_set_table(&select, "t");
    sqlselect_set_order(&select, "b DESC, a", SQLORDER_NONE);
    EXPECT_TRUE(sqlselect_build(&select).str().empty());
    select = sqlselect_new();
    sqlselect_set_table(&select, "t");
    sqlselect_add_column(&select, "a,b");
    EXPECT_TRUE(sqlselect_build(&select).str().empty());

    EXPECT_TRUE(sql_is_identifier("start_0"));
    EXPECT_FALSE(sql_is_identifier("é"));
}

int exec(sqlite3 *db, const std::string &sql)
{
    return sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
}

// Quotes in literal texts: doubled inside single quotes, so SQLite stores
// them as text (double quotes would be read as a column name first).
TEST(SqlBuild, QuotedTextsRunInSqlite)
{
    zvtest::TempDir dir;
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open((dir / "t.db").c_str(), &db), SQLITE_OK);

    sqlcreate create;
    sqlcreate_set_table(&create, "t", 1);
    sqlcreate_add_integer(&create, "a", 0, 1);
    sqlcreate_add_text(&create, "b", "it's");
    sqlcreate_add_integer(&create, "c", 5, 0);
    sqlcreate_add_text(&create, "d", "");
    EXPECT_EQ(sqlcreate_build(&create).str(),
              "CREATE TABLE IF NOT EXISTS t (a INTEGER PRIMARY KEY, b TEXT DEFAULT 'it''s', c INTEGER DEFAULT 5, d TEXT);");
    ASSERT_EQ(exec(db, sqlcreate_build(&create).str()), SQLITE_OK) << sqlite3_errmsg(db);

    sqlinsert insert;
    sqlinsert_set_table(&insert, "t");
    sqlinsert_add_column(&insert, "a");
    sqlinsert_add_text(&insert, "d", "a");  // also the name of a column: stays text
    EXPECT_EQ(sqlinsert_build(&insert).str(), "INSERT INTO t (a, d) VALUES (?, 'a');");
    sqlite3_stmt *stmt = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, sqlinsert_build(&insert).c_str(), -1, &stmt, nullptr), SQLITE_OK);
    sqlite3_bind_int64(stmt, 1, 7);
    ASSERT_EQ(sqlite3_step(stmt), SQLITE_DONE);
    sqlite3_finalize(stmt);

    sqlinsert_set_table(&insert, "t");
    sqlinsert_add_integer(&insert, "a", 8);
    sqlinsert_add_text(&insert, "d", "O'Brien \"x\"");
    ASSERT_EQ(exec(db, sqlinsert_build(&insert).str()), SQLITE_OK) << sqlite3_errmsg(db);

    sqlselect select = sqlselect_new();
    sqlselect_set_table(&select, "t");
    sqlselect_add_column(&select, "b");
    sqlselect_add_column(&select, "c");
    sqlselect_add_column(&select, "d");
    sqlselect_set_where(&select, "a = ?");
    ASSERT_EQ(sqlite3_prepare_v2(db, sqlselect_build(&select).c_str(), -1, &stmt, nullptr), SQLITE_OK);
    sqlite3_bind_int64(stmt, 1, 7);
    ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char *>(sqlite3_column_text(stmt, 0)), "it's");
    EXPECT_EQ(sqlite3_column_int(stmt, 1), 5);
    EXPECT_STREQ(reinterpret_cast<const char *>(sqlite3_column_text(stmt, 2)), "a");
    sqlite3_reset(stmt);
    sqlite3_bind_int64(stmt, 1, 8);
    ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char *>(sqlite3_column_text(stmt, 2)), "O'Brien \"x\"");
    sqlite3_finalize(stmt);
    sqlite3_close(db);
}

} // namespace
