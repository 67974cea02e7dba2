#include "sql_translate.h"

#include <sqlite3.h>

#include <algorithm>
#include <charconv>
#include <memory>
#include <optional>

#include "sql_error.h"
#include "sql_text.h"
#include "sql_types.h"

namespace standin {
namespace {

constexpr std::string_view kCollate = " COLLATE mssql_ci";

bool IsText(const ColumnInfo& c) { return c.type == SqlType::VarChar || c.type == SqlType::NVarChar; }

// How SQL Server ranks numeric types when an operation mixes them (higher wins).
int NumericRank(SqlType t) {
    switch (t) {
    case SqlType::Float: return 8;
    case SqlType::Real: return 7;
    case SqlType::Decimal: return 6;
    case SqlType::BigInt: return 5;
    case SqlType::Int: return 4;
    case SqlType::SmallInt: return 3;
    case SqlType::TinyInt: return 2;
    case SqlType::Bit: return 1;
    default: return 0;
    }
}

// An expression in SQLite syntax with what SQL Server would make of it.
struct Typed {
    std::string sql;
    ColumnInfo type;
    std::string declared;    // a bare column's declared type
    bool aggregate = false;  // contains COUNT
    std::string bareColumn;  // a column outside any aggregate, as table.column
    std::string chain;       // the operator of "(a op b)" when it may continue as a chain
};

// "(a op b)" for a left-associative operator; a left operand that is itself such a term of the
// same operator loses its parentheses, so that long chains (a AND b AND c ...) do not nest
// deeper than SQLite's parser allows.
std::string Chain(const Typed& a, std::string_view op, const Typed& b) {
    const std::string left = a.chain == op ? a.sql.substr(1, a.sql.size() - 2) : a.sql;
    return "(" + left + " " + std::string(op) + " " + b.sql + ")";
}

struct Scope {
    const Table* table = nullptr;
    std::string_view alias;
    bool valuesOnly = false;  // VALUES of an INSERT: no columns
};

ColumnInfo Info(SqlType type, bool nullable, int length = 0) {
    ColumnInfo c;
    c.type = type;
    c.length = length;
    c.nullable = nullable;
    return c;
}

Typed NumberLiteral(const std::string& text) {
    Typed t;
    t.sql = text;
    if (text.find_first_of("eE") != std::string::npos) {
        t.type = Info(SqlType::Float, false);
    } else if (const size_t dot = text.find('.'); dot != std::string::npos) {
        t.type = Info(SqlType::Decimal, false);
        t.type.scale = static_cast<int>(text.size() - dot - 1);
        t.type.precision = std::clamp(static_cast<int>(text.size() - 1), std::max(t.type.scale, 1), 38);
        if (text.front() == '.') t.sql = "0" + text;
        if (text.back() == '.') t.sql += "0";
    } else {
        long long v = 0;
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
        if (ec != std::errc()) {
            t.type = Info(SqlType::Decimal, false);
            t.type.precision = std::min<int>(static_cast<int>(text.size()), 38);
            t.sql = text + ".0";
        } else {
            t.type = Info(v <= 2147483647LL ? SqlType::Int : SqlType::BigInt, false);
        }
    }
    return t;
}

const char* TypeName(SqlType t) { return t == SqlType::NVarChar ? "nvarchar" : "varchar"; }

Typed Translate(const Expr& e, const Scope& scope);

Typed Arithmetic(const Expr& e, const Scope& scope) {
    Typed a = Translate(*e.args[0], scope), b = Translate(*e.args[1], scope);
    Typed t;
    t.aggregate = a.aggregate || b.aggregate;
    t.bareColumn = !a.bareColumn.empty() ? a.bareColumn : b.bareColumn;
    const bool nullable = a.type.nullable || b.type.nullable;
    if (IsText(a.type) && IsText(b.type)) {
        if (e.text != "+") {
            static constexpr std::pair<std::string_view, std::string_view> kNames[] = {
                {"-", "subtract"}, {"*", "multiply"}, {"/", "divide"}, {"%", "modulo"}};
            std::string_view op;
            for (const auto& [symbol, name] : kNames)
                if (e.text == symbol) op = name;
            throw MakeError(402, std::string("The data types ") + TypeName(a.type.type) + " and " +
                                     TypeName(b.type.type) + " are incompatible in the " + std::string(op) +
                                     " operator.");
        }
        const bool unicode = a.type.type == SqlType::NVarChar || b.type.type == SqlType::NVarChar;
        t.type = Info(unicode ? SqlType::NVarChar : SqlType::VarChar, nullable,
                      std::min(a.type.length + b.type.length, unicode ? kMaxNVarChar : kMaxVarChar));
        t.sql = Chain(a, "||", b);
        t.chain = "||";
        return t;
    }
    // Numbers; a text operand takes the other operand's type, as SQL Server converts it.
    const ColumnInfo& x = IsText(a.type) ? b.type : a.type;
    const ColumnInfo& y = IsText(b.type) ? a.type : b.type;
    t.type = NumericRank(x.type) >= NumericRank(y.type) ? x : y;
    if (t.type.type == SqlType::Decimal) {
        t.type.precision = 38;
        t.type.scale = std::max(x.type == SqlType::Decimal ? x.scale : 0, y.type == SqlType::Decimal ? y.scale : 0);
    }
    t.type.nullable = nullable;
    t.type.name.clear();
    t.sql = Chain(a, e.text, b);
    t.chain = e.text;
    return t;
}

Typed Call(const Expr& e, const Scope& scope) {
    const std::string name = FoldCase(e.text);
    Typed t;
    if (name == "count") {
        if (e.star) {
            t.sql = "count(*)";
        } else {
            if (e.args.size() != 1) throw MakeError(174, "The count function requires 1 argument(s).", 15);
            t.sql = "count(" + Translate(*e.args[0], scope).sql + ")";
        }
        t.type = Info(SqlType::Int, false);
        t.aggregate = true;
        return t;
    }
    if (name == "left") {
        if (e.star || e.args.size() != 2) throw MakeError(174, "The left function requires 2 argument(s).", 15);
        Typed s = Translate(*e.args[0], scope), n = Translate(*e.args[1], scope);
        const bool unicode = s.type.type == SqlType::NVarChar;
        int length = IsText(s.type) ? s.type.length : kMaxVarChar;
        if (e.args[1]->kind == Expr::Kind::Number) {
            int count = 0;
            const std::string& text = e.args[1]->text;
            std::from_chars(text.data(), text.data() + text.size(), count);
            length = std::max(1, std::min(length, count));
        }
        t.sql = "substr(" + s.sql + ", 1, " + n.sql + ")";
        t.type = Info(unicode ? SqlType::NVarChar : SqlType::VarChar, s.type.nullable || n.type.nullable, length);
        t.aggregate = s.aggregate || n.aggregate;
        t.bareColumn = !s.bareColumn.empty() ? s.bareColumn : n.bareColumn;
        return t;
    }
    // Functions of the session (registered by the engine on its connections): name, SQLite's
    // name, fewest and most arguments, result type.
    struct SessionFunction {
        std::string_view name, sqlite;
        std::size_t least, most;
        ColumnInfo result;
    };
    static const SessionFunction kSessionFunctions[] = {
        {"applock_mode", "mssql_applock_mode", 3, 3, Info(SqlType::NVarChar, true, 32)},
        {"applock_test", "mssql_applock_test", 4, 4, Info(SqlType::SmallInt, true)},
        {"db_id", "mssql_db_id", 0, 1, Info(SqlType::Int, true)},
        {"serverproperty", "mssql_serverproperty", 1, 1, Info(SqlType::Variant, true)},
        {"has_perms_by_name", "mssql_has_perms_by_name", 3, 3, Info(SqlType::Int, true)},
        {"is_srvrolemember", "mssql_is_srvrolemember", 1, 1, Info(SqlType::Int, true)},
        {"databasepropertyex", "mssql_databasepropertyex", 2, 2, Info(SqlType::Variant, true)},
        {"suser_sname", "mssql_suser_sname", 0, 0, Info(SqlType::NVarChar, false, 128)},
    };
    for (const SessionFunction& f : kSessionFunctions) {
        if (name != f.name) continue;
        if (e.star || e.args.size() < f.least || e.args.size() > f.most) {
            if (f.least == f.most) {
                throw MakeError(174, "The " + name + " function requires " + std::to_string(f.least) + " argument(s).",
                                15);
            }
            throw MakeError(189, "The " + name + " function requires " + std::to_string(f.least) + " to " +
                                     std::to_string(f.most) + " arguments.",
                            15);
        }
        t.sql = std::string(f.sqlite) + "(";
        for (std::size_t k = 0; k < e.args.size(); ++k) {
            const Typed a = Translate(*e.args[k], scope);
            t.sql += (k ? ", " : "") + a.sql;
            t.aggregate = t.aggregate || a.aggregate;
            if (t.bareColumn.empty()) t.bareColumn = a.bareColumn;
        }
        t.sql += ")";
        t.type = f.result;
        return t;
    }
    throw MakeError(195, "'" + e.text + "' is not a recognized built-in function name.", 15);
}

// CAST(value AS type) ("CAST and CONVERT (Transact-SQL)"): to a character type the value as
// text, cut to the type's length; to a number SQLite's conversion; to another type the value.
Typed Cast(const Expr& e, const Scope& scope) {
    const std::optional<ColumnInfo> type = DescribeType(e.text);
    if (!type) throw MakeError(243, "Type " + e.text + " is not a defined system type.");
    const Typed value = Translate(*e.args[0], scope);
    Typed t;
    t.aggregate = value.aggregate;
    t.bareColumn = value.bareColumn;
    t.type = *type;
    t.type.nullable = value.type.nullable;
    switch (type->type) {
    case SqlType::VarChar:
    case SqlType::NVarChar:
        t.sql = "substr(CAST(" + value.sql + " AS TEXT), 1, " + std::to_string(type->length) + ")";
        break;
    case SqlType::Int:
    case SqlType::BigInt:
    case SqlType::SmallInt:
    case SqlType::TinyInt:
    case SqlType::Bit: t.sql = "CAST(" + value.sql + " AS INTEGER)"; break;
    case SqlType::Float:
    case SqlType::Real: t.sql = "CAST(" + value.sql + " AS REAL)"; break;
    default: t.sql = value.sql; break;
    }
    return t;
}

Typed Column(const Expr& e, const Scope& scope) {
    if (scope.valuesOnly) {
        throw MakeError(128,
                        "The name \"" + e.text +
                            "\" is not permitted in this context. Valid expressions are constants, constant "
                            "expressions, and (in some contexts) variables. Column names are not permitted.",
                        15);
    }
    if (!scope.table) throw InvalidColumnName(e.text);
    if (!e.qualifier.empty() &&
        !SameName(e.qualifier, scope.alias.empty() ? std::string_view(scope.table->name) : scope.alias)) {
        throw MakeError(4104, "The multi-part identifier \"" + e.qualifier + "." + e.text + "\" could not be bound.");
    }
    for (const TableColumn& c : scope.table->columns) {
        if (!SameName(c.name, e.text)) continue;
        Typed t;
        t.sql = QuoteName(c.name);
        t.type = c.info;
        t.declared = c.declared;
        t.bareColumn = (scope.alias.empty() ? "dbo." + scope.table->name : std::string(scope.alias)) + "." + c.name;
        return t;
    }
    throw InvalidColumnName(e.text);
}

// The two operands of a comparison or LIKE, and whether both are texts.
struct Operands {
    Typed a, b;
    bool text = false;
    bool unicode = false;
};

Operands TranslateOperands(const Expr& e, const Scope& scope) {
    Operands o{Translate(*e.args[0], scope), Translate(*e.args[1], scope)};
    o.text = IsText(o.a.type) && IsText(o.b.type);
    o.unicode = o.a.type.type == SqlType::NVarChar || o.b.type.type == SqlType::NVarChar;
    return o;
}

Typed Condition(std::string sql, const Typed& a, const Typed* b = nullptr) {
    Typed t;
    t.sql = std::move(sql);
    t.type = Info(SqlType::Bit, true);
    t.aggregate = a.aggregate || (b && b->aggregate);
    t.bareColumn = !a.bareColumn.empty() || !b ? a.bareColumn : b->bareColumn;
    return t;
}

Typed Translate(const Expr& e, const Scope& scope) {
    using Kind = Expr::Kind;
    switch (e.kind) {
    case Kind::Column:
        if (e.qualifier.empty() && SameName(e.text, "@@ROWCOUNT")) {
            // The rows the session's last statement returned or changed ("@@ROWCOUNT (Transact-SQL)").
            Typed t;
            t.sql = "mssql_rowcount()";
            t.type = Info(SqlType::Int, false);
            return t;
        }
        return Column(e, scope);
    case Kind::String: {
        Typed t;
        t.sql = QuoteText(e.text);
        if (e.national) {
            t.type = Info(SqlType::NVarChar, false, std::clamp(CharacterCount(e.text), 1, kMaxNVarChar));
        } else {
            t.type = Info(SqlType::VarChar, false, std::clamp(static_cast<int>(e.text.size()), 1, kMaxVarChar));
        }
        return t;
    }
    case Kind::Number: return NumberLiteral(e.text);
    case Kind::Null: {
        Typed t;
        t.sql = "NULL";
        t.type = Info(SqlType::Int, true);
        return t;
    }
    case Kind::Negate: {
        Typed t = Translate(*e.args[0], scope);
        t.sql = "(-" + t.sql + ")";
        t.declared.clear();
        t.type.name.clear();
        return t;
    }
    case Kind::Arithmetic: return Arithmetic(e, scope);
    case Kind::Call: return Call(e, scope);
    case Kind::Cast: return Cast(e, scope);
    case Kind::Compare: {
        Operands o = TranslateOperands(e, scope);
        std::string op = e.text == "!=" ? "<>" : e.text == "!<" ? ">=" : e.text == "!>" ? "<=" : e.text;
        return Condition("(" + o.a.sql + " " + op + " " + o.b.sql + (o.text ? std::string(kCollate) : "") + ")", o.a,
                         &o.b);
    }
    case Kind::Like: {
        Operands o = TranslateOperands(e, scope);
        return Condition(std::string(e.negated ? "(NOT " : "(") + "mssql_like(" + o.a.sql + ", " + o.b.sql + ", " +
                             (o.unicode ? "1" : "0") + "))",
                         o.a, &o.b);
    }
    case Kind::IsNull: {
        Typed a = Translate(*e.args[0], scope);
        return Condition("(" + a.sql + (e.negated ? " IS NOT NULL)" : " IS NULL)"), a);
    }
    case Kind::Not: {
        Typed a = Translate(*e.args[0], scope);
        return Condition("(NOT " + a.sql + ")", a);
    }
    case Kind::And:
    case Kind::Or: {
        Typed a = Translate(*e.args[0], scope), b = Translate(*e.args[1], scope);
        const std::string op = e.kind == Kind::And ? "AND" : "OR";
        Typed t = Condition(Chain(a, op, b), a, &b);
        t.chain = op;
        return t;
    }
    }
    throw MakeError(102, "Incorrect syntax near '" + e.text + "'.", 15);
}

std::string ConditionSql(const Expr& condition, const Scope& scope) {
    Typed t = Translate(condition, scope);
    if (t.aggregate) {
        throw MakeError(147,
                        "An aggregate may not appear in the WHERE clause unless it is in a subquery contained in a "
                        "HAVING clause or a select list, and the column being aggregated is an outer reference.",
                        15);
    }
    return t.sql;
}

std::string OrderTerm(const Expr& e, const Scope& scope, const std::vector<ColumnInfo>& columns,
                      const std::vector<std::optional<std::string>>& aliases) {
    const auto ordinal = [&](size_t k) {
        return std::to_string(k + 1) + (IsText(columns[k]) ? std::string(kCollate) : "");
    };
    if (e.kind == Expr::Kind::Number && e.text.find_first_not_of("0123456789") == std::string::npos) {
        size_t k = 0;
        std::from_chars(e.text.data(), e.text.data() + e.text.size(), k);
        if (k < 1 || k > columns.size()) {
            throw MakeError(108,
                            "The ORDER BY position number " + e.text +
                                " is out of range of the number of items in the select list.",
                            15);
        }
        return ordinal(k - 1);
    }
    if (e.kind == Expr::Kind::Column && e.qualifier.empty()) {
        for (size_t k = 0; k < aliases.size(); ++k)
            if (aliases[k] && SameName(*aliases[k], e.text)) return ordinal(k);
    }
    Typed t = Translate(e, scope);
    return t.sql + (IsText(t.type) ? std::string(kCollate) : "");
}

std::string_view TextOf(sqlite3_value* v) {
    const auto* p = reinterpret_cast<const char*>(sqlite3_value_text(v));
    return std::string_view(p ? p : "", static_cast<size_t>(sqlite3_value_bytes(v)));
}

// mssql_like(value, pattern, unicode). The compiled pattern stays with the statement as long
// as the pattern argument does not change.
void LikeFunction(sqlite3_context* context, int, sqlite3_value** argv) {
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL || sqlite3_value_type(argv[1]) == SQLITE_NULL) {
        sqlite3_result_null(context);
        return;
    }
    const auto* pattern = static_cast<const LikePattern*>(sqlite3_get_auxdata(context, 1));
    std::optional<LikePattern> local;
    if (!pattern) {
        auto compiled = std::make_unique<LikePattern>(TextOf(argv[1]));
        sqlite3_set_auxdata(context, 1, compiled.release(),
                            [](void* p) { std::unique_ptr<LikePattern>(static_cast<LikePattern*>(p)); });
        pattern = static_cast<const LikePattern*>(sqlite3_get_auxdata(context, 1));
        if (!pattern) pattern = &local.emplace(TextOf(argv[1]));
    }
    sqlite3_result_int(context, pattern->Matches(TextOf(argv[0]), sqlite3_value_int(argv[2]) != 0) ? 1 : 0);
}

int Collate(void*, int n1, const void* s1, int n2, const void* s2) {
    return CompareText(std::string_view(static_cast<const char*>(s1), static_cast<size_t>(n1)),
                       std::string_view(static_cast<const char*>(s2), static_cast<size_t>(n2)));
}

}  // namespace

std::string QuoteName(std::string_view name) {
    std::string out = "\"";
    for (char c : name) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

std::string QuoteText(std::string_view text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'') out += '\'';
        out += c;
    }
    return out + "'";
}

SelectPlan TranslateSelect(const SelectStatement& select, const Table* from) {
    Scope scope;
    scope.table = from;
    scope.alias = select.fromAlias;
    SelectPlan plan;
    std::vector<std::string> items;
    std::vector<std::optional<std::string>> aliases;
    bool aggregate = false;
    std::string bareColumn;
    for (const SelectItem& item : select.items) {
        if (item.star) {
            if (!from) throw MakeError(263, "Must specify table to select from.");
            for (const TableColumn& c : from->columns) {
                items.push_back(QuoteName(c.name));
                plan.columns.push_back(c.info);
                plan.declared.push_back(c.declared);
                aliases.emplace_back();
                if (bareColumn.empty()) {
                    bareColumn = (select.fromAlias.empty() ? "dbo." + from->name : select.fromAlias) + "." + c.name;
                }
            }
            continue;
        }
        Typed t = Translate(*item.expr, scope);
        aggregate = aggregate || t.aggregate;
        if (bareColumn.empty()) bareColumn = t.bareColumn;
        t.type.name = item.alias ? *item.alias : item.expr->kind == Expr::Kind::Column ? item.expr->text : "";
        items.push_back(std::move(t.sql));
        plan.declared.push_back(t.declared.empty() ? DeclaredType(t.type) : t.declared);
        plan.columns.push_back(std::move(t.type));
        aliases.push_back(item.alias);
    }
    if (aggregate && !bareColumn.empty()) {
        throw MakeError(8120, "Column '" + bareColumn +
                                  "' is invalid in the select list because it is not contained in either an "
                                  "aggregate function or the GROUP BY clause.");
    }
    plan.sql = "SELECT ";
    for (size_t k = 0; k < items.size(); ++k) plan.sql += (k ? ", " : "") + items[k];
    if (from) plan.sql += " FROM " + QuoteName(from->schema) + "." + QuoteName(from->name);
    if (select.where) plan.sql += " WHERE " + ConditionSql(*select.where, scope);
    for (size_t k = 0; k < select.orderBy.size(); ++k) {
        const OrderItem& o = select.orderBy[k];
        plan.sql += (k ? ", " : " ORDER BY ") + OrderTerm(*o.expr, scope, plan.columns, aliases) +
                    (o.descending ? " DESC" : "");
    }
    return plan;
}

std::string TranslateCondition(const Expr& condition, const Table& table) {
    Scope scope;
    scope.table = &table;
    return ConditionSql(condition, scope);
}

std::string TranslateValue(const Expr& value, const Table* table) {
    Scope scope;
    scope.table = table;
    scope.valuesOnly = table == nullptr;
    Typed t = Translate(value, scope);
    if (t.aggregate) throw MakeError(157, "An aggregate may not appear in the set list of an UPDATE statement.", 15);
    return t.sql;
}

void RegisterTextSemantics(sqlite3* db) {
    sqlite3_create_collation_v2(db, "mssql_ci", SQLITE_UTF8, nullptr, Collate, nullptr);
    sqlite3_create_function_v2(db, "mssql_like", 3, SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_INNOCUOUS, nullptr,
                               LikeFunction, nullptr, nullptr, nullptr);
}

}  // namespace standin
