#include "sql_parser.h"

#include <algorithm>

#include "sql_error.h"
#include "sql_lexer.h"
#include "sql_text.h"

namespace standin {
namespace {

// How deeply expressions may nest, in parentheses or as chains of operators: far beyond any
// statement of the tool, well within the stack of the recursive parser and translator.
constexpr int kMaxNesting = 400;

ExprPtr MakeExpr(Expr::Kind kind, std::string text = {}, std::vector<ExprPtr> args = {}) {
    auto e = std::make_unique<Expr>();
    e->kind = kind;
    e->text = std::move(text);
    for (const ExprPtr& a : args) e->height = std::max(e->height, a->height + 1);
    if (e->height > kMaxNesting) throw NestedTooDeeply();
    e->args = std::move(args);
    return e;
}

ExprPtr MakeBinary(Expr::Kind kind, std::string text, ExprPtr left, ExprPtr right) {
    std::vector<ExprPtr> args;
    args.push_back(std::move(left));
    args.push_back(std::move(right));
    return MakeExpr(kind, std::move(text), std::move(args));
}

ExprPtr MakeUnary(Expr::Kind kind, ExprPtr operand) {
    std::vector<ExprPtr> args;
    args.push_back(std::move(operand));
    return MakeExpr(kind, {}, std::move(args));
}

constexpr std::string_view kStatementStarts[] = {"SELECT", "INSERT", "UPDATE", "DELETE", "CREATE", "DROP",   "BACKUP",
                                                 "RESTORE", "USE",   "SET",    "WAITFOR", "EXEC",  "EXECUTE"};
constexpr std::string_view kComparisons[] = {"=", "<>", "!=", "<", ">", "<=", ">=", "!<", "!>"};

class Parser {
public:
    explicit Parser(std::vector<Token> tokens) : t_(std::move(tokens)) {}

    std::vector<Statement> Batch() {
        std::vector<Statement> out;
        for (;;) {
            if (AcceptSymbol(";")) continue;
            if (Peek().kind == Token::Kind::End) return out;
            Statement s;
            s.line = Peek().line;
            s.body = StatementBody();
            if (!AtStatementEnd()) Fail();
            out.push_back(std::move(s));
        }
    }

private:
    using Body = decltype(Statement::body);

    const Token& Peek(size_t ahead = 0) const { return t_[std::min(i_ + ahead, t_.size() - 1)]; }
    const Token& Take() { return t_[i_ < t_.size() - 1 ? i_++ : i_]; }

    static bool IsWord(const Token& t, std::string_view word) {
        return t.kind == Token::Kind::Name && SameName(t.text, word);
    }
    static bool IsSymbol(const Token& t, std::string_view symbol) {
        return t.kind == Token::Kind::Symbol && t.text == symbol;
    }
    static bool IsReserved(const Token& t) { return t.kind == Token::Kind::Name && IsReservedKeyword(t.text); }

    bool AcceptWord(std::string_view word) {
        if (!IsWord(Peek(), word)) return false;
        ++i_;
        return true;
    }
    void ExpectWord(std::string_view word) {
        if (!AcceptWord(word)) Fail();
    }
    bool AcceptSymbol(std::string_view symbol) {
        if (!IsSymbol(Peek(), symbol)) return false;
        ++i_;
        return true;
    }
    void ExpectSymbol(std::string_view symbol) {
        if (!AcceptSymbol(symbol)) Fail();
    }

    // A syntax error at the current token, or at the last one when the batch has ended.
    [[noreturn]] void Fail() const {
        const Token& t = (Peek().kind == Token::Kind::End && i_ > 0) ? t_[i_ - 1] : Peek();
        SqlError e = SyntaxError(t.text, IsReserved(t));
        e.message.line = t.line;
        throw e;
    }

    bool AtStatementEnd() const {
        const Token& t = Peek();
        if (t.kind == Token::Kind::End || IsSymbol(t, ";")) return true;
        for (std::string_view w : kStatementStarts)
            if (IsWord(t, w)) return true;
        return false;
    }

    bool IsIdentifier(const Token& t) const {
        return t.kind == Token::Kind::QuotedName || (t.kind == Token::Kind::Name && !IsReservedKeyword(t.text));
    }

    std::string Identifier() {
        if (!IsIdentifier(Peek())) Fail();
        std::string name = Take().text;
        if (name.empty()) throw EmptyName();
        return name;
    }

    ObjectName Name() {
        std::vector<std::string> parts{Identifier()};
        while (AcceptSymbol(".")) {
            parts.push_back(IsIdentifier(Peek()) ? Identifier() : std::string());
            if (parts.size() > 3) Fail();
        }
        if (parts.back().empty()) Fail();
        ObjectName n;
        n.object = parts.back();
        if (parts.size() >= 2) n.schema = parts[parts.size() - 2];
        if (parts.size() == 3) n.database = parts[0];
        for (size_t k = 0; k < parts.size(); ++k) n.written += (k ? "." : "") + parts[k];
        return n;
    }

    Body StatementBody() {
        const Token& t = Peek();
        if (IsWord(t, "SELECT")) return Select();
        if (IsWord(t, "CREATE")) return Create();
        if (IsWord(t, "DROP")) return Drop();
        if (IsWord(t, "INSERT")) return Insert();
        if (IsWord(t, "UPDATE")) return Update();
        if (IsWord(t, "DELETE")) return Delete();
        if (IsWord(t, "BACKUP")) return Backup();
        if (IsWord(t, "RESTORE")) return Restore();
        if (IsWord(t, "USE")) {
            Take();
            return UseStatement{Identifier()};
        }
        if (IsWord(t, "SET")) return Set();
        if (IsWord(t, "EXEC") || IsWord(t, "EXECUTE")) return Exec();
        if (IsWord(t, "WAITFOR")) {
            Take();
            ExpectWord("DELAY");
            if (Peek().kind != Token::Kind::String) Fail();
            return WaitforStatement{Take().text};
        }
        Fail();
    }

    SelectStatement Select() {
        ExpectWord("SELECT");
        SelectStatement s;
        do s.items.push_back(SelectListItem());
        while (AcceptSymbol(","));
        if (AcceptWord("INTO")) s.into = Name();
        if (AcceptWord("FROM")) {
            s.from = Name();
            if (AcceptWord("AS"))
                s.fromAlias = Identifier();
            else if (IsIdentifier(Peek()))
                s.fromAlias = Identifier();
        }
        if (AcceptWord("WHERE")) s.where = Condition();
        if (AcceptWord("ORDER")) {
            ExpectWord("BY");
            do {
                OrderItem item;
                item.expr = Value();
                if (AcceptWord("DESC"))
                    item.descending = true;
                else
                    AcceptWord("ASC");
                s.orderBy.push_back(std::move(item));
            } while (AcceptSymbol(","));
        }
        return s;
    }

    SelectItem SelectListItem() {
        SelectItem item;
        if (AcceptSymbol("*")) {
            item.star = true;
            return item;
        }
        if (IsIdentifier(Peek()) && IsSymbol(Peek(1), "=")) {
            item.alias = Identifier();
            Take();
            item.expr = Value();
            return item;
        }
        item.expr = Value();
        const bool as = AcceptWord("AS");
        if (Peek().kind == Token::Kind::String) {
            item.alias = Take().text;
            if (item.alias->empty()) throw EmptyName();
        } else if (as || IsIdentifier(Peek())) {
            item.alias = Identifier();
        }
        return item;
    }

    // A data type as written, folded to lower case: "varchar(20)", "decimal(18,2)", "nvarchar(max)".
    std::string DataType() {
        std::string type = FoldCase(Identifier());
        if (AcceptSymbol("(")) {
            type += '(';
            do {
                const Token& a = Peek();
                if (a.kind != Token::Kind::Number && !IsWord(a, "MAX")) Fail();
                type += FoldCase(Take().text);
                if (IsSymbol(Peek(), ",")) type += ',';
            } while (AcceptSymbol(","));
            ExpectSymbol(")");
            type += ')';
        }
        return type;
    }

    CreateTableStatement CreateTable() {
        CreateTableStatement s;
        s.table = Name();
        ExpectSymbol("(");
        do {
            ColumnDefinition c;
            c.name = Identifier();
            c.type = DataType();
            if (AcceptWord("NOT")) {
                ExpectWord("NULL");
                c.notNull = true;
            } else {
                AcceptWord("NULL");
            }
            s.columns.push_back(std::move(c));
        } while (AcceptSymbol(","));
        ExpectSymbol(")");
        return s;
    }

    Body Create() {
        ExpectWord("CREATE");
        if (AcceptWord("DATABASE")) return CreateDatabaseStatement{Identifier()};
        if (AcceptWord("TABLE")) return CreateTable();
        Fail();
    }

    Body Drop() {
        ExpectWord("DROP");
        if (AcceptWord("DATABASE")) return DropDatabaseStatement{Identifier()};
        if (AcceptWord("TABLE")) return DropTableStatement{Name()};
        Fail();
    }

    InsertStatement Insert() {
        ExpectWord("INSERT");
        AcceptWord("INTO");
        InsertStatement s;
        s.table = Name();
        if (AcceptSymbol("(")) {
            do s.columns.push_back(Identifier());
            while (AcceptSymbol(","));
            ExpectSymbol(")");
        }
        ExpectWord("VALUES");
        do {
            ExpectSymbol("(");
            std::vector<ExprPtr> row;
            do row.push_back(Value());
            while (AcceptSymbol(","));
            ExpectSymbol(")");
            s.rows.push_back(std::move(row));
        } while (AcceptSymbol(","));
        return s;
    }

    UpdateStatement Update() {
        ExpectWord("UPDATE");
        UpdateStatement s;
        s.table = Name();
        ExpectWord("SET");
        do {
            std::string column = Identifier();
            ExpectSymbol("=");
            s.assignments.emplace_back(std::move(column), Value());
        } while (AcceptSymbol(","));
        if (AcceptWord("WHERE")) s.where = Condition();
        return s;
    }

    DeleteStatement Delete() {
        ExpectWord("DELETE");
        AcceptWord("FROM");
        DeleteStatement s;
        s.table = Name();
        if (AcceptWord("WHERE")) s.where = Condition();
        return s;
    }

    BackupStatement Backup() {
        ExpectWord("BACKUP");
        ExpectWord("DATABASE");
        BackupStatement s;
        s.database = Identifier();
        ExpectWord("TO");
        s.path = Disk();
        if (!AcceptWord("WITH")) return s;
        do {
            if (AcceptWord("INIT")) {
                s.init = true;
            } else if (AcceptWord("NOINIT")) {
                s.init = false;
            } else {
                ExpectWord("DIFFERENTIAL");
                s.differential = true;
            }
        } while (AcceptSymbol(","));
        return s;
    }

    Body Restore() {
        ExpectWord("RESTORE");
        if (AcceptWord("VERIFYONLY")) {
            ExpectWord("FROM");
            return VerifyBackupStatement{Disk()};
        }
        if (AcceptWord("DATABASE")) return RestoreDatabase();
        DescribeBackupStatement s;
        if (AcceptWord("FILELISTONLY")) {
            s.kind = DescribeBackupStatement::Kind::FileList;
        } else {
            ExpectWord("HEADERONLY");
        }
        ExpectWord("FROM");
        s.path = Disk();
        if (AcceptWord("WITH")) {
            do {
                if (!DeviceOption(s.file)) Fail();
            } while (AcceptSymbol(","));
        }
        return s;
    }

    RestoreDatabaseStatement RestoreDatabase() {
        RestoreDatabaseStatement s;
        s.database = Identifier();
        ExpectWord("FROM");
        s.path = Disk();
        if (!AcceptWord("WITH")) return s;
        do {
            if (DeviceOption(s.file)) continue;
            if (AcceptWord("MOVE")) {
                RestoreMove move;
                move.logicalName = Text();
                ExpectWord("TO");
                move.physicalName = Text();
                s.moves.push_back(std::move(move));
            } else if (AcceptWord("STATS")) {
                s.stats = 10;  // the documented default
                if (AcceptSymbol("=")) s.stats = Number(1, 100);
            } else if (AcceptWord("REPLACE")) {
                s.replace = true;
            } else if (AcceptWord("NORECOVERY")) {
                s.recovery = false;
            } else {
                ExpectWord("RECOVERY");
                s.recovery = true;
            }
        } while (AcceptSymbol(","));
        return s;
    }

    // The options of RESTORE that concern the device: FILE = n, NOUNLOAD, UNLOAD. False when
    // the next option is none of them.
    bool DeviceOption(int& file) {
        if (AcceptWord("NOUNLOAD") || AcceptWord("UNLOAD")) return true;
        if (!AcceptWord("FILE")) return false;
        ExpectSymbol("=");
        file = Number(1, 2147483647);
        return true;
    }

    // A string constant, 'text' or N'text'.
    std::string Text() {
        if (Peek().kind != Token::Kind::String) Fail();
        return Take().text;
    }

    // A whole number from `least` to `most`.
    int Number(int least, int most) {
        const Token& t = Peek();
        if (t.kind != Token::Kind::Number || t.text.size() > 10 ||
            t.text.find_first_not_of("0123456789") != std::string::npos) {
            Fail();
        }
        const long long n = std::stoll(t.text);
        if (n < least || n > most) Fail();
        Take();
        return static_cast<int>(n);
    }

    // DISK = 'path' (or N'path'): the path.
    std::string Disk() {
        ExpectWord("DISK");
        ExpectSymbol("=");
        if (Peek().kind != Token::Kind::String) Fail();
        return Take().text;
    }

    ExecStatement Exec() {
        Take();
        ExecStatement s;
        if (AcceptSymbol("(")) {
            // EXEC ('…' [+ '…' ...]): the pieces joined.
            std::string text;
            do {
                if (Peek().kind != Token::Kind::String) Fail();
                text += Take().text;
            } while (AcceptSymbol("+"));
            ExpectSymbol(")");
            s.text = std::move(text);
            return s;
        }
        s.procedure = Name();
        if (AtStatementEnd()) return s;
        do {
            ExecArgument a;
            if (Peek().kind == Token::Kind::Name && Peek().text.front() == '@' && IsSymbol(Peek(1), "=")) {
                a.name = Take().text;
                Take();
            }
            const Token& t = Peek();
            if (IsWord(t, "DEFAULT")) {
                Take();
            } else if (t.kind == Token::Kind::String || t.kind == Token::Kind::Number || IsWord(t, "NULL") ||
                       (IsSymbol(t, "-") && Peek(1).kind == Token::Kind::Number)) {
                a.value = Unary();
            } else if (t.kind == Token::Kind::Name && !IsReserved(t) && t.text.front() != '@') {
                a.value = MakeExpr(Expr::Kind::String, Take().text);  // a string without quotes
            } else {
                Fail();
            }
            s.arguments.push_back(std::move(a));
        } while (AcceptSymbol(","));
        return s;
    }

    // SET NOCOUNT ON|OFF; other options take no effect, the statement running up to the next
    // statement or semicolon.
    SetStatement Set() {
        ExpectWord("SET");
        if (AtStatementEnd()) Fail();
        SetStatement s;
        if (AcceptWord("NOCOUNT")) {
            if (AcceptWord("ON")) s.nocount = true;
            else if (AcceptWord("OFF")) s.nocount = false;
            else Fail();
        }
        while (!AtStatementEnd()) Take();
        return s;
    }

    // Search conditions: OR, AND, NOT over predicates.
    ExprPtr Condition() {
        ExprPtr left = AndCondition();
        while (AcceptWord("OR")) left = MakeBinary(Expr::Kind::Or, "OR", std::move(left), AndCondition());
        return left;
    }

    ExprPtr AndCondition() {
        ExprPtr left = NotCondition();
        while (AcceptWord("AND")) left = MakeBinary(Expr::Kind::And, "AND", std::move(left), NotCondition());
        return left;
    }

    ExprPtr NotCondition() {
        if (!AcceptWord("NOT")) return Predicate();
        const Nesting nesting(*this);
        return MakeUnary(Expr::Kind::Not, NotCondition());
    }

    // Whether the "(" at the current token opens a parenthesised condition rather than a value:
    // it does when a comparison, LIKE, IS, AND, OR or NOT stands directly inside it.
    bool ParenthesisedCondition() const {
        int depth = 0;
        for (size_t k = i_; k < t_.size(); ++k) {
            const Token& t = t_[k];
            if (IsSymbol(t, "("))
                ++depth;
            else if (IsSymbol(t, ")") && --depth == 0)
                return false;
            else if (depth == 1) {
                for (std::string_view op : kComparisons)
                    if (IsSymbol(t, op)) return true;
                for (std::string_view w : {"LIKE", "IS", "AND", "OR", "NOT"})
                    if (IsWord(t, w)) return true;
            }
            if (t.kind == Token::Kind::End) break;
        }
        return false;
    }

    ExprPtr Predicate() {
        if (IsSymbol(Peek(), "(") && ParenthesisedCondition()) {
            Take();
            const Nesting nesting(*this);
            ExprPtr c = Condition();
            ExpectSymbol(")");
            return c;
        }
        ExprPtr left = Value();
        for (std::string_view op : kComparisons) {
            if (AcceptSymbol(op)) return MakeBinary(Expr::Kind::Compare, std::string(op), std::move(left), Value());
        }
        const bool notLike = IsWord(Peek(), "NOT") && IsWord(Peek(1), "LIKE");
        if (notLike) Take();
        if (AcceptWord("LIKE")) {
            ExprPtr e = MakeBinary(Expr::Kind::Like, "LIKE", std::move(left), Value());
            e->negated = notLike;
            return e;
        }
        if (AcceptWord("IS")) {
            const bool negated = AcceptWord("NOT");
            ExpectWord("NULL");
            ExprPtr e = MakeUnary(Expr::Kind::IsNull, std::move(left));
            e->negated = negated;
            return e;
        }
        // A value where a condition belongs; anything else that follows is beyond the subset.
        if (!AtStatementEnd() && !IsWord(Peek(), "AND") && !IsWord(Peek(), "OR") && !IsSymbol(Peek(), ")")) Fail();
        const Token& t = (Peek().kind == Token::Kind::End && i_ > 0) ? t_[i_ - 1] : Peek();
        SqlError e = MakeError(4145,
                               "An expression of non-boolean type specified in a context where a condition is "
                               "expected, near '" +
                                   t.text + "'.",
                               15);
        e.message.line = t.line;
        throw e;
    }

    // Values: + - over * / % over unary minus over primaries.
    ExprPtr Value() {
        ExprPtr left = Term();
        for (;;) {
            if (AcceptSymbol("+"))
                left = MakeBinary(Expr::Kind::Arithmetic, "+", std::move(left), Term());
            else if (AcceptSymbol("-"))
                left = MakeBinary(Expr::Kind::Arithmetic, "-", std::move(left), Term());
            else
                return left;
        }
    }

    ExprPtr Term() {
        ExprPtr left = Unary();
        for (;;) {
            std::string op;
            for (std::string_view s : {"*", "/", "%"})
                if (op.empty() && AcceptSymbol(s)) op = s;
            if (op.empty()) return left;
            left = MakeBinary(Expr::Kind::Arithmetic, op, std::move(left), Unary());
        }
    }

    ExprPtr Unary() {
        if (AcceptSymbol("+")) {
            const Nesting nesting(*this);
            return Unary();
        }
        if (!AcceptSymbol("-")) return Primary();
        const Nesting nesting(*this);
        return MakeUnary(Expr::Kind::Negate, Unary());
    }

    ExprPtr Primary() {
        const Token& t = Peek();
        if (t.kind == Token::Kind::Number) return MakeExpr(Expr::Kind::Number, Take().text);
        if (t.kind == Token::Kind::String) {
            ExprPtr e = MakeExpr(Expr::Kind::String, t.text);
            e->national = t.national;
            Take();
            return e;
        }
        if (IsWord(t, "NULL")) {
            Take();
            return MakeExpr(Expr::Kind::Null);
        }
        if (AcceptSymbol("(")) {
            const Nesting nesting(*this);
            ExprPtr e = Value();
            ExpectSymbol(")");
            return e;
        }
        if (IsWord(t, "CAST") && IsSymbol(Peek(1), "(")) return Cast();
        if (t.kind == Token::Kind::Name && IsSymbol(Peek(1), "(")) return Call();
        if (!IsIdentifier(t)) Fail();
        ExprPtr e = MakeExpr(Expr::Kind::Column, Identifier());
        if (AcceptSymbol(".")) {
            e->qualifier = std::move(e->text);
            e->text = Identifier();
        }
        return e;
    }

    // CAST(value AS type): the type as DataType() writes it.
    ExprPtr Cast() {
        Take();
        ExpectSymbol("(");
        const Nesting nesting(*this);
        std::vector<ExprPtr> args;
        args.push_back(Value());
        ExpectWord("AS");
        std::string type = DataType();
        ExpectSymbol(")");
        return MakeExpr(Expr::Kind::Cast, std::move(type), std::move(args));
    }

    ExprPtr Call() {
        std::string name = Take().text;
        ExpectSymbol("(");
        const Nesting nesting(*this);
        const bool star = AcceptSymbol("*");
        std::vector<ExprPtr> args;
        if (!star && !IsSymbol(Peek(), ")")) {
            do args.push_back(Value());
            while (AcceptSymbol(","));
        }
        ExpectSymbol(")");
        ExprPtr e = MakeExpr(Expr::Kind::Call, std::move(name), std::move(args));
        e->star = star;
        return e;
    }

    // One level of recursion in the parser; too many fail with 191.
    class Nesting {
    public:
        explicit Nesting(Parser& p) : p_(p) {
            if (++p_.depth_ > kMaxNesting) throw NestedTooDeeply();
        }
        ~Nesting() { --p_.depth_; }
        Nesting(const Nesting&) = delete;
        Nesting& operator=(const Nesting&) = delete;

    private:
        Parser& p_;
    };

    std::vector<Token> t_;
    size_t i_ = 0;
    int depth_ = 0;
};

}  // namespace

std::vector<Statement> ParseBatch(std::string_view batch) { return Parser(Tokenize(batch)).Batch(); }

}  // namespace standin
