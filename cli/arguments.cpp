#include "arguments.h"

#include <algorithm>
#include <string_view>

#include "codepage.h"
#include "login.h"

namespace tarvex {

namespace {

constexpr int kList = 1;
constexpr int kConvert = 2;
constexpr int kDropTemporary = 4;
constexpr int kRestore = 8;
constexpr int kVerify = 16;
constexpr int kConnection = kList | kConvert | kDropTemporary | kRestore;
// The log-in without the database: verify --restore-check restores into master's server.
constexpr int kLogIn = kConnection | kVerify;

struct Option {
    std::string_view name;
    bool takesValue;
    int commands;  // the commands that take it: kList, kConvert, kDropTemporary, kRestore, kVerify
};

constexpr Option kOptions[] = {
    {"--server", true, kLogIn},           {"--user", true, kLogIn},
    {"--database", true, kConnection},    {"--password", true, kLogIn},
    {"--year", true, kList | kConvert},   {"--header", false, kList},
    {"--set", true, kConvert},            {"--all", false, kConvert},
    {"--folder", true, kConvert | kVerify}, {"--verbose", false, kConvert},
    {"--quiet", false, kConvert},         {"--json", false, kConvert | kVerify},
    {"--skip-done", false, kConvert},     {"--windows-login", false, kLogIn},
    {"--file", true, kRestore},           {"--position", true, kRestore},
    {"--as", true, kRestore},             {"--manifest", true, kVerify},
    {"--restore-check", false, kVerify},
};

bool IsYear(std::string_view text) {
    return text.size() == 4 && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string YearProblem(const std::string& text) {
    return ProgramText("年度“") + text + ProgramText("”不是四位数字的年份，例如 2016。");
}

// "2016/001/001": year, unit code, account-set number.
std::optional<SetCodes> SplitSet(const std::string& text) {
    const std::size_t first = text.find('/');
    const std::size_t second = first == std::string::npos ? first : text.find('/', first + 1);
    if (second == std::string::npos || text.find('/', second + 1) != std::string::npos) return std::nullopt;
    SetCodes codes{text.substr(0, first), text.substr(first + 1, second - first - 1), text.substr(second + 1)};
    if (codes.year.empty() || codes.unitCode.empty() || codes.accountSetNumber.empty()) return std::nullopt;
    return codes;
}

// restore's new name: --as, or --database as before --as came; not both.
std::string TakeRestoreName(Arguments& a, bool databaseGiven) {
    if (a.command != Arguments::Command::Restore) return {};
    if (a.restoreAs && databaseGiven)
        return ProgramText("restore 命令中 --as 和 --database 都是还原后的新数据库名称，只能用其中一个。");
    if (databaseGiven) a.restoreAs = a.database;
    if (a.restoreAs) *a.restoreAs = TrimBlanks(*a.restoreAs);
    return {};
}

// verify's own needs: the folder it checks, and a server only for --restore-check.
std::string VerifyProblem(const Arguments& a) {
    if (a.command != Arguments::Command::Verify) return {};
    if (!a.folder) return ProgramText("verify 命令要用 --folder 指定要核对的文件夹。");
    if (a.connectionGiven && !a.restoreCheck)
        return ProgramText("连接选项只用于 --restore-check：不还原时核对不需要服务器。");
    return {};
}

// The checks that need every option: the values and what the command needs.
std::string Check(Arguments& a, bool databaseGiven) {
    a.server = TrimBlanks(a.server);
    a.user = TrimBlanks(a.user);
    a.database = TrimBlanks(a.database);
    if (a.password) *a.password = TrimBlanks(*a.password);
    if (std::string problem = VerifyProblem(a); !problem.empty()) return problem;
    if (std::string problem = TakeRestoreName(a, databaseGiven); !problem.empty()) return problem;
    if (a.windowsLogin && (a.userGiven || a.password))
        return ProgramText("--windows-login 以本机的Windows用户登录，不能再与 --user 或 --password 同用。");
    if (a.server.empty() || (a.user.empty() && !a.windowsLogin)) return ProgramText("服务器名、用户名不能为空。");
    if (a.database.empty() || (a.restoreAs && a.restoreAs->empty())) return ProgramText("数据库名称不能为空。");
    for (const std::string& year : a.years)
        if (!IsYear(year)) return YearProblem(year);
    for (const SetCodes& set : a.sets)
        if (!IsYear(set.year)) return YearProblem(set.year);
    if (a.folder && a.folder->empty()) return ProgramText("--folder 的值不能为空。");
    a.file = TrimBlanks(a.file);
    if (a.command == Arguments::Command::Restore && a.file.empty())
        return ProgramText("请用 --file 给出备份文件的路径（数据库服务器读取它的路径）。");
    if (a.command == Arguments::Command::Convert) {
        if (a.sets.empty() && a.years.empty() && !a.all)
            return ProgramText("请用 --set、--year 或 --all 指明要转换的账套。");
        if (a.all && (!a.sets.empty() || !a.years.empty()))
            return ProgramText("--all 已包括所有账套，不能再与 --set 或 --year 同用。");
        if (a.quiet && a.verbose) return ProgramText("--quiet 和 --verbose 不能同用。");
    }
    return {};
}

// A command's word, what it is, and its bit among the options' commands.
struct Named {
    std::string_view word;
    Arguments::Command command;
    int bit;
};

constexpr Named kCommands[] = {{"list", Arguments::Command::List, kList},
                               {"convert", Arguments::Command::Convert, kConvert},
                               {"drop-temporary", Arguments::Command::DropTemporary, kDropTemporary},
                               {"restore", Arguments::Command::Restore, kRestore},
                               {"verify", Arguments::Command::Verify, kVerify}};

// An option as the command line gives it: its name and its value (empty for a flag), or why it
// cannot be taken.
struct GivenOption {
    std::string name, value;
    std::string problem;
};

GivenOption Refused(std::string problem) { return {{}, {}, std::move(problem)}; }

// The option at words[i] with its value: after "=", or the next word, past which `i` then moves.
GivenOption ReadOption(const std::vector<std::string>& words, std::size_t& i, const Named& command) {
    const std::string& word = words[i];
    if (!word.starts_with("--")) return Refused(ProgramText("多余的参数“") + word + ProgramText("”。"));
    const std::size_t equals = word.find('=');
    std::string name = word.substr(0, equals);
    const auto option = std::find_if(std::begin(kOptions), std::end(kOptions),
                                     [&](const Option& o) { return o.name == name; });
    if (option == std::end(kOptions)) return Refused(ProgramText("未知的选项“") + word + ProgramText("”。"));
    if ((option->commands & command.bit) == 0)
        return Refused(ProgramText("选项 ") + name + ProgramText(" 不能用于 ") + std::string(command.word) +
                       ProgramText(" 命令。"));
    if (!option->takesValue) {
        if (equals != std::string::npos) return Refused(ProgramText("选项 ") + name + ProgramText(" 不带值。"));
        return {name, {}, {}};
    }
    if (equals != std::string::npos) return {name, word.substr(equals + 1), {}};
    if (i + 1 < words.size()) return {name, words[++i], {}};
    return Refused(ProgramText("选项 ") + name + ProgramText(" 需要一个值。"));
}

// The value of option `name` into `a`; why it cannot be taken, or empty.
std::string TakeOption(Arguments& a, const std::string& name, const std::string& value) {
    a.userGiven = a.userGiven || name == "--user";
    a.windowsLogin = a.windowsLogin || name == "--windows-login";
    a.connectionGiven = a.connectionGiven || name == "--server" || name == "--user" || name == "--password" ||
                        name == "--windows-login";
    if (name == "--server") a.server = value;
    else if (name == "--user") a.user = value;
    else if (name == "--database") a.database = value;
    else if (name == "--file") a.file = value;
    else if (name == "--as") a.restoreAs = value;
    else if (name == "--position") {
        if (value.empty() || value.size() > 5 || value.find_first_not_of("0123456789") != std::string::npos ||
            std::stoi(value) < 1)
            return ProgramText("--position 的值应为备份集在文件中的位置（从 1 起的整数），而不是“") + value +
                   ProgramText("”。");
        a.position = std::stoi(value);
    }
    else if (name == "--password") a.password = value;
    else if (name == "--year") a.years.push_back(value);
    else if (name == "--header") a.header = true;
    else if (name == "--all") a.all = true;
    else if (name == "--folder") a.folder = value;
    else if (name == "--manifest") a.manifest = value;
    else if (name == "--restore-check") a.restoreCheck = true;
    else if (name == "--verbose") a.verbose = true;
    else if (name == "--quiet") a.quiet = true;
    else if (name == "--json") a.json = true;
    else if (name == "--skip-done") a.skipDone = true;
    else if (name == "--set") {
        const std::optional<SetCodes> codes = SplitSet(value);
        if (!codes)
            return ProgramText("--set 的值应为“年度/单位编号/账套编号”，例如 2016/001/001，而不是“") + value +
                   ProgramText("”。");
        a.sets.push_back(*codes);
    }
    return {};
}

// --help: how the commands are called, and what each does.
constexpr std::string_view kUsageCommands =
    "用法：tarvex-convert-cli restore --file 备份文件 [--as 新数据库名称] [选项]\n"
    "      tarvex-convert-cli list [选项]\n"
    "      tarvex-convert-cli convert (--set 年度/单位编号/账套编号 | --year 年度 | --all) [选项]\n"
    "      tarvex-convert-cli drop-temporary [连接选项]\n"
    "      tarvex-convert-cli verify --folder 文件夹 [--manifest 清单文件] [--json] [--restore-check [连接选项]]\n"
    "\n"
    "先把被审计单位的数据库备份文件还原到 SQL Server 上（restore），\n"
    "再批量转换：把还原的 VeltroGRP-Tarvex 账务数据库中的账套逐个转换为备份文件，\n"
    "与窗口程序的转换相同（每个账套一个 .bak 文件和它的转换记录 .bak.txt），最后写出汇总 CSV 文件。\n"
    "\n"
    "命令：\n"
    "  restore   把备份文件还原为服务器上的一个新数据库，不覆盖已有的数据库；\n"
    "            数据库文件放在服务器的默认数据文件夹中。进度在标准错误上，\n"
    "            结束时在标准输出上输出还原后的数据库名称。\n"
    "  list      列出数据库中的所有账套，每行一个，以制表符分隔：\n"
    "            年度、单位编号、单位名称、账套编号、账套名称、能否转换（是/否）\n"
    "  convert   转换账套；每个账套结束时在标准输出上输出一行（以制表符分隔）：\n"
    "            年度、单位编号、单位名称、账套编号、账套名称、结果、复制行数、有数据的表、\n"
    "            备份文件、校验、说明；最后输出汇总和汇总文件的路径。进度在标准错误上。\n"
    "  drop-temporary\n"
    "            删除服务器上留下的临时数据库 Tarvex数据整理（转换中途结束的程序留下的），\n"
    "            先说明其中是哪个账套；另一个转换程序正在使用它时不删除。\n"
    "  verify    核对文件夹中的备份文件与它们的转换记录、汇总 CSV 是否一致，不需要服务器：\n"
    "            每个备份的大小和 SHA-256、转换记录的每一项（校验通过、各表行数之和等于合计）、\n"
    "            没有记录的备份、没有备份的记录、同一账套的两个备份、同一备份的两个副本、\n"
    "            汇总中与记录不符的行。每个文件在标准输出上一行（文件名、制表符、“一致”或原因），\n"
    "            最后一行汇总；进度在标准错误上。不在文件夹里写入任何文件。\n"
    "\n";

constexpr std::string_view kConnectionOptions =
    "连接选项：\n"
    "  --server 名称          数据库服务器（默认 .）\n"
    "  --windows-login        以本机当前的Windows用户登录（Windows身份验证），不用密码：\n"
    "                         按默认设置安装的 SQL Server 只接受这种登录。不能与 --user、--password 同用。\n"
    "  否则以 SQL Server 的用户名和密码登录（服务器须为混合验证模式，例如启用的 sa）：\n"
    "  --user 名称            用户名（默认 sa）\n"
    "  --database 名称        list、convert 读取的数据库，即还原的数据库（默认 2016年乡镇数据采集）；\n"
    "                         restore 命令中同 --as\n"
    "  --password 密码        密码。注意：命令行上的密码，本机的其他用户也能看到；\n"
    "                         请尽量用环境变量 TARVEX_PASSWORD，或在终端里按提示输入（不显示）。\n"
    "  密码依次取自：环境变量 TARVEX_PASSWORD、--password、终端里的提示。\n"
    "\n";

constexpr std::string_view kRestoreOptions =
    "restore 的选项：\n"
    "  --as 名称              还原后的新数据库名称（默认为备份中的数据库名称）。以前的写法\n"
    "                         restore --file 备份文件 [--database 新数据库名称] 照样可用；两者不能同用。\n"
    "  --file 备份文件        要还原的 .bak 文件。由数据库服务器读取：服务器在另一台电脑上时，\n"
    "                         是那台电脑上的路径。\n"
    "  --position 位置        还原文件中这个位置的完整备份（位置从 1 起，标准错误上列出文件中的\n"
    "                         每个备份集）。默认还原文件中备份时间最新的数据库的最后一个完整备份。\n"
    "                         完整备份之后有它的差异备份时，随后还原最新的一个；日志备份不还原。\n"
    "                         差异备份或日志备份的位置是用法错误。\n"
    "\n";

constexpr std::string_view kListOptions =
    "list 的选项：\n"
    "  --year 年度            只列出这一年度的账套（可重复）\n"
    "  --header               先输出一行列名\n"
    "\n";

constexpr std::string_view kConvertOptions =
    "convert 的选项：\n"
    "  --set 年度/单位编号/账套编号\n"
    "                         转换这个账套（可重复），例如 --set 2016/001/001\n"
    "  --year 年度            转换这一年度所有能转换的账套（可重复）\n"
    "  --all                  转换所有能转换的账套\n"
    "  --folder 文件夹        备份文件和汇总文件所在的文件夹（默认为本程序所在的文件夹）。\n"
    "                         备份文件由数据库服务器写入：服务器在另一台电脑上时，那里也要有这个文件夹。\n"
    "  --skip-done            跳过以前已转换好的账套：文件夹里有它的备份和转换记录，记录上的服务器、\n"
    "                         数据库、年度、单位和账套与这次相同，SHA-256 与文件相符，校验通过。\n"
    "                         跳过的账套在汇总里记为“已存在（跳过）”；备份与记录不符的账套重新转换。\n"
    "  --verbose              在标准错误上输出完整的转换日志和每张表的进度\n"
    "  --quiet                只输出错误和汇总文件的路径\n"
    "  --json                 在标准输出上以 JSON 输出汇总（每个账套的年度、单位、账套、结果、行数、\n"
    "                         备份文件、SHA-256、校验、说明），代替以制表符分隔的行；非 ASCII 字符写作 \\uXXXX\n"
    "  进度：标准错误是终端时，每个账套一行，随进度刷新（第几个账套、第几张表、已用时间和剩余时间）；\n"
    "  不是终端时（如计划任务的日志），每个账套在开始和结束时各一行。\n"
    "  备份文件名：年度_单位编号单位名称_账套编号账套名称，再加月日时分秒，例如\n"
    "  2016_101城关镇人民政府（新科目）_002工会账套12月8日14时41分31秒.bak；\n"
    "  文件名中不能有的字符换成“_”，名称部分最多 100 个字。\n"
    "  只有单位名称中含“新科目”的账套能转换：--year 和 --all 跳过其余账套并说明跳过了几个；\n"
    "  用 --set 指定这样的账套是用法错误。\n"
    "\n";

constexpr std::string_view kVerifyOptions =
    "verify 的选项：\n"
    "  --folder 文件夹        要核对的文件夹（必须给出）\n"
    "  --manifest 清单文件    另外写出一个清单：每个文件的大小和 SHA-256，格式与 sha256sum 相同，\n"
    "                         在文件夹里可用 sha256sum -c 清单文件 复核\n"
    "  --json                 在标准输出上以 JSON 输出核对结果（每个文件的名称、结果、原因、大小、SHA-256、\n"
    "                         还原核对的结果）\n"
    "  --restore-check        另外在数据库服务器上还原每个备份（用本程序自己的、服务器上没有的名称，\n"
    "                         不覆盖任何数据库），清点34张表的行数，与转换记录比较，然后删除还原的数据库。\n"
    "                         结果为“内容一致”和行数，或哪些表不一致；服务器版本比做备份的低时说明这一点。\n"
    "                         需要连接选项（--server，--windows-login 或 --user 和密码，同上）；备份文件由服务器读取。\n"
    "  verify 的退出码：0 全部一致；1 有不一致的文件，或没有可核对的文件；2 用法错误、文件夹不存在或\n"
    "  服务器拒绝登录；4 连不上服务器；130 中断\n"
    "\n";

constexpr std::string_view kHelpAndVersion =
    "  --help                 显示本说明\n"
    "  --version              显示版本\n"
    "\n";

constexpr std::string_view kExitCodes =
    "退出码：\n"
    "  0    所有账套都已转换并校验通过，没有警告（drop-temporary：已删除，或本来就没有；restore：已还原）\n"
    "  1    有账套转换失败，或批量转换因其他原因停止，或读不出账套列表，或删除失败；\n"
    "       restore：服务器拒绝或未能完成还原（文件不存在、不是备份文件、已损坏、没有权限等）\n"
    "  2    用法错误（选项、年度、账套编号、文件夹），或服务器拒绝登录（用户名、密码、Windows用户、数据库）；\n"
    "       restore：数据库名称不可用或已存在，或 --position 不是完整备份的位置\n"
    "  3    所有账套都已转换，但有账套带警告（如账套中没有数据）\n"
    "  4    连不上服务器，或与服务器的连接中途断开：稍后可以重试\n"
    "  5    另一个转换程序正在使用临时数据库，或服务器上留有上次的临时数据库（可用 drop-temporary 删除）\n"
    "  130  中断（Ctrl+C、SIGTERM、SIGHUP）：中止当前的语句，删除临时数据库后停止，已完成的账套保留；\n"
    "       restore：取消还原并删除没有还原完的数据库。再中断一次则立即结束\n";

}  // namespace

ParsedArguments ParseArguments(const std::vector<std::string>& words) {
    ParsedArguments parsed;
    Arguments& a = parsed.arguments;
    a.server = ".";
    a.user = "sa";
    a.database = ProgramText("2016年乡镇数据采集");
    const auto has = [&](std::string_view word) { return std::find(words.begin(), words.end(), word) != words.end(); };
    if (has("--help") || has("-h")) return parsed;
    if (has("--version")) {
        a.command = Arguments::Command::Version;
        return parsed;
    }
    const auto fail = [&](std::string problem) {
        parsed.problem = std::move(problem);
        return parsed;
    };
    if (words.empty() || words[0].starts_with("-"))
        return fail(ProgramText("请先给出命令：restore、list、convert、drop-temporary 或 verify。"));
    const std::string& command = words[0];
    const auto named = std::find_if(std::begin(kCommands), std::end(kCommands), [&](const Named& n) { return n.word == command; });
    if (named == std::end(kCommands))
        return fail(ProgramText("未知的命令“") + command + ProgramText("”：命令是 restore、list、convert、drop-temporary 或 verify。"));
    a.command = named->command;
    bool databaseGiven = false;

    for (std::size_t i = 1; i < words.size(); ++i) {
        const GivenOption option = ReadOption(words, i, *named);
        if (!option.problem.empty()) return fail(option.problem);
        databaseGiven = databaseGiven || option.name == "--database";
        if (std::string problem = TakeOption(a, option.name, option.value); !problem.empty())
            return fail(std::move(problem));
    }
    if (std::string problem = Check(a, databaseGiven); !problem.empty()) return fail(std::move(problem));
    return parsed;
}

std::string UsageText() {
    std::string text;
    for (const std::string_view part :
         {kUsageCommands, kConnectionOptions, kRestoreOptions, kListOptions, kConvertOptions, kVerifyOptions, kHelpAndVersion, kExitCodes})
        text += part;
    return ProgramText(text);
}

}  // namespace tarvex
