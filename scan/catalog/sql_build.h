// Builders of three kinds of SQL statement text: CREATE TABLE, INSERT and
// SELECT. Each collects a table name and columns and turns them into one
// statement with exact spacing, e.g.
//
//   CREATE TABLE IF NOT EXISTS t (a INTEGER PRIMARY KEY, b TEXT);
//   INSERT INTO t (a, b) VALUES (?, ?);
//   SELECT a, b FROM t WHERE a = ? ORDER BY b DESC LIMIT 1;
//
// The builders make statement texts, not values: values from a medium or a
// user go through bound parameters ("?" columns). The few literal values a
// builder can carry (defaults and literal insert values, all code constants)
// are written as SQL literals: integers in decimal, texts between single
// quotes with every quote doubled.
//
// Table and column names must be plain identifiers ([A-Za-z0-9_]+). A build
// with any other name logs "<builder>: invalid identifier" and returns the
// empty text, which no database will prepare. A WHERE condition is taken as
// it stands (it is SQL written by the caller, with "?" for values).
//
// A column of kind 0 (placeholder) has no meaning in CREATE TABLE and is
// left out there, separator included.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "foundation/u8string.h"

enum : uint32_t {
    SQLCOL_PLACEHOLDER = 0, // "?" in an insert; nothing in a create
    SQLCOL_INTEGER = 1,
    SQLCOL_TEXT = 2,
};

enum : uint32_t {
    SQLORDER_NONE = 0,
    SQLORDER_ASC = 1,
    SQLORDER_DESC = 2,
};

struct sqlcolumn {
    std::string name;
    uint32_t kind = SQLCOL_PLACEHOLDER;
    uint8_t primary_key = 0;   // create: " PRIMARY KEY" when 1
    int32_t int_value = 0;     // create: default (none when 0); insert: literal
    std::string text_value;    // create: default (none when empty); insert: literal
};

struct sqlcreate {
    std::string table;
    uint8_t if_not_exists = 0;
    std::vector<sqlcolumn> columns;
};

struct sqlinsert {
    std::string table;
    std::vector<sqlcolumn> columns;
};

struct sqlselect {
    std::string table;
    std::vector<std::string> columns; // none: "*"
    std::string where;                // empty: no WHERE
    std::string order;                // empty: no ORDER BY
    uint32_t direction = SQLORDER_NONE;
    uint32_t limit = 0;               // 0: no LIMIT
};

// True for a non-empty name of letters, digits and underscores only.
bool sql_is_identifier(const std::string &name);
// text between single quotes, each quote doubled: it's -> 'it''s'.
std::string sql_quote_text(const std::string &text);

void sqlcreate_set_table(sqlcreate *builder, const std::string &name, uint8_t if_not_exists);
void sqlcreate_add_integer(sqlcreate *builder, const std::string &name, int32_t default_value, uint8_t primary_key);
void sqlcreate_add_text(sqlcreate *builder, const std::string &name, const std::string &default_text);
zorvant::u8string sqlcreate_build(const sqlcreate *builder);

void sqlinsert_set_table(sqlinsert *builder, const std::string &name);
void sqlinsert_add_column(sqlinsert *builder, const std::string &name);
// Literal values (code constants only; values of the data are bound).
void sqlinsert_add_integer(sqlinsert *builder, const std::string &name, int32_t value);
void sqlinsert_add_text(sqlinsert *builder, const std::string &name, const std::string &value);
zorvant::u8string sqlinsert_build(const sqlinsert *builder);

sqlselect sqlselect_new();
void sqlselect_set_table(sqlselect *builder, const std::string &name);
void sqlselect_add_column(sqlselect *builder, const std::string &name);
void sqlselect_set_where(sqlselect *builder, const std::string &condition);
void sqlselect_set_order(sqlselect *builder, const std::string &column, uint32_t direction);
void sqlselect_set_limit(sqlselect *builder, uint32_t limit);
zorvant::u8string sqlselect_build(const sqlselect *builder);
