// SQL statement builders (see sql_build.h).
#include "scan/catalog/sql_build.h"

#include "foundation/log.h"

bool sql_is_identifier(const std::string &name)
{
    if (name.empty())
        return false;
    for (char c : name) {
        bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
        if (!ok)
            return false;
    }
    return true;
}

std::string sql_quote_text(const std::string &text)
{
    std::string quoted = "'";
    for (char c : text) {
        quoted += c;
        if (c == '\'')
            quoted += '\'';
    }
    quoted += '\'';
    return quoted;
}

namespace {

bool check_identifier(const char *who, const std::string &name)
{
    if (sql_is_identifier(name))
        return true;
    log_error("%s: invalid identifier \"%s\"", who, name.c_str());
    return false;
}

sqlcolumn make_column(const std::string &name, uint32_t kind)
{
    sqlcolumn column;
    column.name = name;
    column.kind = kind;
    return column;
}

// An integer or text column with its value: the default of a create, the
// literal of an insert.
sqlcolumn integer_column(const std::string &name, int32_t value)
{
    sqlcolumn column = make_column(name, SQLCOL_INTEGER);
    column.int_value = value;
    return column;
}

sqlcolumn text_column(const std::string &name, const std::string &text)
{
    sqlcolumn column = make_column(name, SQLCOL_TEXT);
    column.text_value = text;
    return column;
}

} // namespace

// --- CREATE TABLE ------------------------------------------------------------

void sqlcreate_set_table(sqlcreate *builder, const std::string &name, uint8_t if_not_exists)
{
    builder->columns.clear();
    builder->table = name;
    builder->if_not_exists = if_not_exists;
}

void sqlcreate_add_integer(sqlcreate *builder, const std::string &name, int32_t default_value, uint8_t primary_key)
{
    sqlcolumn column = integer_column(name, default_value);
    column.primary_key = primary_key;
    builder->columns.push_back(column);
}

void sqlcreate_add_text(sqlcreate *builder, const std::string &name, const std::string &default_text)
{
    builder->columns.push_back(text_column(name, default_text));
}

zorvant::u8string sqlcreate_build(const sqlcreate *builder)
{
    if (!check_identifier("sqlcreate_build", builder->table))
        return zorvant::u8string();
    std::string sql = "CREATE TABLE ";
    if (builder->if_not_exists)
        sql += "IF NOT EXISTS ";
    sql += builder->table;
    sql += " (";
    bool first = true;
    for (const sqlcolumn &column : builder->columns) {
        if (column.kind != SQLCOL_INTEGER && column.kind != SQLCOL_TEXT)
            continue; // a placeholder column declares nothing
        if (!check_identifier("sqlcreate_build", column.name))
            return zorvant::u8string();
        if (!first)
            sql += ", ";
        first = false;
        sql += column.name;
        if (column.kind == SQLCOL_INTEGER) {
            sql += " INTEGER";
            if (column.primary_key == 1)
                sql += " PRIMARY KEY";
            if (column.int_value != 0)
                sql += " DEFAULT " + std::to_string(column.int_value);
        } else {
            sql += " TEXT";
            if (!column.text_value.empty())
                sql += " DEFAULT " + sql_quote_text(column.text_value);
        }
    }
    sql += ");";
    return zorvant::u8string(sql);
}

// --- INSERT ------------------------------------------------------------------

void sqlinsert_set_table(sqlinsert *builder, const std::string &name)
{
    builder->columns.clear();
    builder->table = name;
}

void sqlinsert_add_column(sqlinsert *builder, const std::string &name)
{
    builder->columns.push_back(make_column(name, SQLCOL_PLACEHOLDER));
}

void sqlinsert_add_integer(sqlinsert *builder, const std::string &name, int32_t value)
{
    builder->columns.push_back(integer_column(name, value));
}

void sqlinsert_add_text(sqlinsert *builder, const std::string &name, const std::string &value)
{
    builder->columns.push_back(text_column(name, value));
}

zorvant::u8string sqlinsert_build(const sqlinsert *builder)
{
    if (!check_identifier("sqlinsert_build", builder->table))
        return zorvant::u8string();
    std::string names, values;
    for (size_t i = 0; i < builder->columns.size(); i++) {
        const sqlcolumn &column = builder->columns[i];
        if (!check_identifier("sqlinsert_build", column.name))
            return zorvant::u8string();
        if (i > 0) {
            names += ", ";
            values += ", ";
        }
        names += column.name;
        if (column.kind == SQLCOL_INTEGER)
            values += std::to_string(column.int_value);
        else if (column.kind == SQLCOL_TEXT)
            values += sql_quote_text(column.text_value);
        else
            values += "?";
    }
    return zorvant::u8string("INSERT INTO " + builder->table + " (" + names + ") VALUES (" + values + ");");
}

// --- SELECT ------------------------------------------------------------------

sqlselect sqlselect_new()
{
    return sqlselect();
}

void sqlselect_set_table(sqlselect *builder, const std::string &name)
{
    builder->table = name;
}

void sqlselect_add_column(sqlselect *builder, const std::string &name)
{
    builder->columns.push_back(name);
}

void sqlselect_set_where(sqlselect *builder, const std::string &condition)
{
    builder->where = condition;
}

void sqlselect_set_order(sqlselect *builder, const std::string &column, uint32_t direction)
{
    builder->order = column;
    builder->direction = direction;
}

void sqlselect_set_limit(sqlselect *builder, uint32_t limit)
{
    builder->limit = limit;
}

zorvant::u8string sqlselect_build(const sqlselect *builder)
{
    if (!check_identifier("sqlselect_build", builder->table))
        return zorvant::u8string();
    std::string sql = "SELECT ";
    if (builder->columns.empty()) {
        sql += "* ";
    } else {
        for (size_t i = 0; i < builder->columns.size(); i++) {
            if (!check_identifier("sqlselect_build", builder->columns[i]))
                return zorvant::u8string();
            if (i > 0)
                sql += ", ";
            sql += builder->columns[i];
        }
        sql += " ";
    }
    sql += "FROM " + builder->table;
    if (!builder->where.empty())
        sql += " WHERE " + builder->where;
    if (!builder->order.empty()) {
        if (!check_identifier("sqlselect_build", builder->order))
            return zorvant::u8string();
        sql += " ORDER BY " + builder->order;
        if (builder->direction == SQLORDER_ASC)
            sql += " ASC";
        else if (builder->direction == SQLORDER_DESC)
            sql += " DESC";
    }
    if (builder->limit != 0)
        sql += " LIMIT " + std::to_string(builder->limit);
    sql += ";";
    return zorvant::u8string(sql);
}
