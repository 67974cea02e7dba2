// mssql-standin: a local stand-in for Microsoft SQL Server that FreeTDS's ODBC driver talks to.

#include <sys/signalfd.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "engine.h"
#include "server.h"

namespace {

constexpr const char* kUsage =
    "usage: mssql-standin --data DIR [--port N] [--user NAME] [--password TEXT] [--log-statements FILE]\n"
    "                     [--log-timing FILE] [--log-requests FILE] [--reply-delay-ms N]\n"
    "                     [--map-drive X:=DIR]... [--map-drive-charset CHARSET]\n"
    "                     [--no-create-database] [--deny-view-any-database] [--no-default-data-path]\n"
    "                     [--restore-step-ms N] [--create-database-ms N] [--own-disk DIR]\n"
    "                     [--user-options N] [--keytab FILE --realm REALM]\n"
    "       mssql-standin --data DIR --create-sample [--sample default|township] [--scale N]\n"
    "\n"
    "  --data DIR              one SQLite file per database\n"
    "  --port N                TCP port on 127.0.0.1 (default 1433; 0 picks a free one)\n"
    "  --user NAME             log-in name (default sa)\n"
    "  --password TEXT         log-in password (default 1)\n"
    "  --keytab FILE           admit integrated (Windows) log-ins too: the Kerberos keys of the service\n"
    "                          principal MSSQLSvc/<host>:<port> the clients ask for; without it the\n"
    "                          server admits SQL log-ins only and refuses a Windows log-in (18452)\n"
    "  --realm REALM           with --keytab: the Kerberos realm (Windows domain) whose users the server\n"
    "                          trusts; user@REALM logs in as REALM\\user, any other is refused (18452)\n"
    "  --log-statements FILE   append every statement received to FILE, one per line\n"
    "  --log-timing FILE       append the microseconds each statement took, a tab and the statement\n"
    "  --log-requests FILE     append a line per client request: the connection's number (from 1, in\n"
    "                          the order of connecting), a tab, the request's kind (prelogin, login,\n"
    "                          batch, attention, or the RPC's procedure, such as sp_prepexec; several\n"
    "                          calls in one request joined by +) and, for a batch or a call that runs\n"
    "                          a statement, a tab and the statement\n"
    "  --reply-delay-ms N      hold every reply (the log-in's too) N milliseconds (0 to 60000) before\n"
    "                          sending it, as a server a network hop away would seem\n"
    "  --map-drive X:=DIR      a backup path on Windows drive X: (\"X:\\dir\\x.bak\") is written under DIR;\n"
    "                          wine's programs pass Z:=/ (repeatable)\n"
    "  --map-drive-charset CHARSET\n"
    "                          the charset of the file names under the mapped drives (an iconv name;\n"
    "                          default UTF-8): a program under wine in the zh_CN.GBK locale finds its\n"
    "                          files under GBK names, so it needs --map-drive Z:=/ --map-drive-charset GBK\n"
    "  --no-create-database    the log-in lacks the CREATE DATABASE permission: CREATE DATABASE, RESTORE\n"
    "                          and reading backup headers fail as they do for such a log-in\n"
    "  --deny-view-any-database\n"
    "                          the log-in is denied VIEW ANY DATABASE (and so is no sysadmin): DB_ID and\n"
    "                          sys.databases show it only master, tempdb and the databases it created or\n"
    "                          restored\n"
    "  --no-default-data-path  SERVERPROPERTY('InstanceDefaultDataPath') is NULL, as before SQL Server 2012\n"
    "                          (otherwise it names the folder DIR-files beside the data directory)\n"
    "  --restore-step-ms N     each progress step of RESTORE DATABASE lasts at least N ms (for tests)\n"
    "  --create-database-ms N  CREATE DATABASE takes N ms (0 to 60000) and, once begun, runs to its end:\n"
    "                          a cancel that comes meanwhile is answered after it, the database made\n"
    "  --own-disk DIR          a server on another computer: backup files named by absolute paths lie\n"
    "                          on its own disk, here under DIR (/srv/x.bak is DIR/srv/x.bak)\n"
    "  --user-options N        the server's user options (sp_configure 'user options', 0 to 32767): the\n"
    "                          SET options of every new session; 512 (NOCOUNT) leaves every statement's\n"
    "                          row count unreported\n"
    "  --create-sample         write the sample database \"2016年乡镇数据采集\" and exit\n"
    "  --sample NAME           which sample: default (3 units, 2015-2017) or township (13 units,\n"
    "                          2014-2018, 153 account sets, 133 of them to convert, 27 in 2016;\n"
    "                          for batch conversion)\n"
    "  --scale N               multiply the sample's voucher rows by N (default 1)\n";

// SIGTERM and SIGINT as a descriptor that the server polls.
class StopSignals {
public:
    StopSignals() {
        sigset_t signals;
        sigemptyset(&signals);
        sigaddset(&signals, SIGTERM);
        sigaddset(&signals, SIGINT);
        // Blocked before any thread starts, so that every thread inherits the mask.
        pthread_sigmask(SIG_BLOCK, &signals, nullptr);
        fd_ = signalfd(-1, &signals, SFD_CLOEXEC);
        if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "signalfd");
    }
    ~StopSignals() { ::close(fd_); }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;
    int Fd() const { return fd_; }

private:
    int fd_;
};

struct Arguments {
    std::filesystem::path data;
    std::map<char, std::filesystem::path> drives;
    std::string driveCharset;
    standin::ServerOptions server;
    bool createSample = false;
    std::optional<standin::Engine::Sample> sample;
    std::optional<int> scale;
    standin::Engine::Settings settings;
};

std::optional<int> ParseNumber(std::string_view text, int min, int max) {
    if (text.empty() || text.size() > 9) return std::nullopt;
    int n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        n = n * 10 + (c - '0');
    }
    if (n < min || n > max) return std::nullopt;
    return n;
}

// The arguments, or an error message.
std::optional<Arguments> Parse(int argc, char** argv, std::string* error) {
    Arguments a;
    for (int i = 1; i < argc; ++i) {
        const std::string_view option = argv[i];
        if (option == "--create-sample") {
            a.createSample = true;
            continue;
        }
        if (option == "--deny-view-any-database") {
            a.settings.viewAnyDatabase = false;
            continue;
        }
        if (option == "--no-create-database" || option == "--no-default-data-path") {
            (option == "--no-create-database" ? a.settings.mayCreateDatabases : a.settings.reportsDefaultDataPath) = false;
            continue;
        }
        if (option != "--data" && option != "--port" && option != "--user" && option != "--password" &&
            option != "--log-statements" && option != "--log-timing" && option != "--log-requests" &&
            option != "--reply-delay-ms" && option != "--scale" && option != "--map-drive" &&
            option != "--map-drive-charset" && option != "--sample" && option != "--restore-step-ms" &&
            option != "--create-database-ms" && option != "--own-disk" && option != "--user-options" &&
            option != "--keytab" && option != "--realm") {
            *error = "unknown option " + std::string(option);
            return std::nullopt;
        }
        if (i + 1 >= argc) {
            *error = std::string(option) + " needs a value";
            return std::nullopt;
        }
        const std::string_view value = argv[++i];
        if (option == "--data") {
            a.data = value;
        } else if (option == "--port") {
            const std::optional<int> port = ParseNumber(value, 0, 65535);
            if (!port) {
                *error = "--port takes a number from 0 to 65535, not " + std::string(value);
                return std::nullopt;
            }
            a.server.port = *port;
        } else if (option == "--map-drive") {
            if (value.size() < 4 || !std::isalpha(static_cast<unsigned char>(value[0])) || value.substr(1, 2) != ":=") {
                *error = "--map-drive takes a drive and a directory such as Z:=/, not " + std::string(value);
                return std::nullopt;
            }
            a.drives[static_cast<char>(std::toupper(static_cast<unsigned char>(value[0])))] = value.substr(3);
        } else if (option == "--restore-step-ms") {
            const std::optional<int> ms = ParseNumber(value, 0, 60000);
            if (!ms) {
                *error = "--restore-step-ms takes a number from 0 to 60000, not " + std::string(value);
                return std::nullopt;
            }
            a.settings.restoreStepDelay = std::chrono::milliseconds(*ms);
        } else if (option == "--create-database-ms") {
            const std::optional<int> ms = ParseNumber(value, 0, 60000);
            if (!ms) {
                *error = "--create-database-ms takes a number from 0 to 60000, not " + std::string(value);
                return std::nullopt;
            }
            a.settings.createDatabaseDelay = std::chrono::milliseconds(*ms);
        } else if (option == "--own-disk") {
            a.settings.ownDisk = std::string(value);
        } else if (option == "--user-options") {
            const std::optional<int> bits = ParseNumber(value, 0, 32767);  // sp_configure's range
            if (!bits) {
                *error = "--user-options takes a number from 0 to 32767, not " + std::string(value);
                return std::nullopt;
            }
            a.settings.userOptions = *bits;
        } else if (option == "--map-drive-charset") {
            a.driveCharset = value;
        } else if (option == "--sample") {
            if (value == "default") {
                a.sample = standin::Engine::Sample::Default;
            } else if (value == "township") {
                a.sample = standin::Engine::Sample::Township;
            } else {
                *error = "--sample takes default or township, not " + std::string(value);
                return std::nullopt;
            }
        } else if (option == "--user") {
            a.server.user = value;
        } else if (option == "--password") {
            a.server.password = value;
        } else if (option == "--keytab") {
            a.server.keytab = std::string(value);
        } else if (option == "--realm") {
            a.server.realm = value;
        } else if (option == "--log-statements") {
            a.server.statementLog = value;
        } else if (option == "--log-timing") {
            a.server.timingLog = value;
        } else if (option == "--log-requests") {
            a.server.requestLog = value;
        } else if (option == "--reply-delay-ms") {
            const std::optional<int> delay = ParseNumber(value, 0, 60000);
            if (!delay) {
                *error = "--reply-delay-ms takes a number from 0 to 60000, not " + std::string(value);
                return std::nullopt;
            }
            a.server.replyDelay = std::chrono::milliseconds(*delay);
        } else {
            a.scale = ParseNumber(value, 1, 1000000);
            if (!a.scale) {
                *error = "--scale takes a number from 1 to 1000000, not " + std::string(value);
                return std::nullopt;
            }
        }
    }
    if (a.data.empty()) {
        *error = "--data is required";
        return std::nullopt;
    }
    if (!a.driveCharset.empty() && a.drives.empty()) {
        *error = "--map-drive-charset goes with --map-drive";
        return std::nullopt;
    }
    if ((a.scale || a.sample) && !a.createSample) {
        *error = std::string(a.scale ? "--scale" : "--sample") + " goes with --create-sample";
        return std::nullopt;
    }
    if (a.server.keytab.empty() != a.server.realm.empty()) {
        *error = "--keytab and --realm go together";
        return std::nullopt;
    }
    return a;
}

}  // namespace

int main(int argc, char** argv) {
    std::string error;
    const std::optional<Arguments> args = Parse(argc, argv, &error);
    if (!args) {
        std::fprintf(stderr, "mssql-standin: %s\n\n%s", error.c_str(), kUsage);
        return 2;
    }
    try {
        if (args->createSample) {
            standin::Engine::CreateSample(args->data, args->scale.value_or(1),
                                          args->sample.value_or(standin::Engine::Sample::Default));
            return 0;
        }
        const StopSignals stop;
        standin::Engine::DriveMap drives;
        for (const auto& [letter, root] : args->drives)
            drives.emplace(letter, standin::Engine::MappedDrive(root, args->driveCharset));
        standin::Engine engine(args->data, drives, args->settings);
        standin::Server server(engine, args->server);
        std::printf("listening on 127.0.0.1:%d\n", server.Port());
        std::fflush(stdout);
        server.Run(stop.Fd());
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "mssql-standin: %s\n", e.what());
        return 1;
    }
}
