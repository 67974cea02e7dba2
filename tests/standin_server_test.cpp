// The stand-in server through raw sockets: bad input closes that connection only and never
// crashes the server; messages split anywhere are understood; attention is answered.

#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/wait.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <memory>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>

#include "standin_odbc.h"
#include "standin_process.h"
#include "standin_tds_builders.h"

namespace {

using namespace standintest;
using testsupport::StandinProcess;

// A TCP connection to the server; every read has a 30-second hang guard.
class RawConnection {
public:
    explicit RawConnection(int port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            throw std::runtime_error("cannot connect");
        const timeval guard{30, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &guard, sizeof guard);
        const int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    ~RawConnection() { ::close(fd_); }
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    // Sends in pieces of `piece` bytes.
    void Send(std::string_view bytes, std::size_t piece = SIZE_MAX) {
        while (!bytes.empty()) {
            const std::size_t n = std::min(piece, bytes.size());
            if (::send(fd_, bytes.data(), n, MSG_NOSIGNAL) != static_cast<ssize_t>(n)) return;
            bytes.remove_prefix(n);
        }
    }

    struct ReplyPacket {
        bool last = false;  // it ends the message
        std::string payload;
    };

    // The next packet of a reply; nothing when the server closed the connection.
    std::optional<ReplyPacket> ReadPacket() {
        std::string header;
        if (!Read(8, &header)) return std::nullopt;
        EXPECT_EQ(header[0], 0x04) << "a reply";
        const std::size_t length = (static_cast<std::uint8_t>(header[2]) << 8) | static_cast<std::uint8_t>(header[3]);
        ReplyPacket packet{(header[1] & 1) != 0, {}};
        if (length < 8 || !Read(length - 8, &packet.payload)) return std::nullopt;
        return packet;
    }

    // The payload of the next reply message; nothing when the server closed the connection.
    std::optional<std::string> ReadMessage() {
        std::string payload;
        while (std::optional<ReplyPacket> packet = ReadPacket()) {
            payload += packet->payload;
            if (packet->last) return payload;
        }
        return std::nullopt;
    }

    // True when the server closes the connection (within the hang guard).
    bool ClosedByServer() {
        char c;
        for (;;) {
            const ssize_t n = ::recv(fd_, &c, 1, 0);
            if (n == 0 || (n < 0 && errno == ECONNRESET)) return true;
            if (n < 0) return false;  // the guard ran out
        }
    }

    // PRELOGIN and LOGIN7 as FreeTDS sends them; true on LOGINACK.
    bool LogIn(std::size_t piece = SIZE_MAX, std::size_t packetSize = 4096) {
        Send(Packet(0x12, PreLogin()), piece);
        if (!ReadMessage()) return false;
        LoginFields f;
        f.database = u"master";
        Send(Packets(0x10, Login7(f), packetSize), piece);
        const std::optional<std::string> reply = ReadMessage();
        return reply && reply->find('\xAD') != std::string::npos;
    }

private:
    bool Read(std::size_t n, std::string* out) {
        out->resize(n);
        std::size_t done = 0;
        while (done < n) {
            const ssize_t r = ::recv(fd_, out->data() + done, n - done, 0);
            if (r <= 0) return false;
            done += static_cast<std::size_t>(r);
        }
        return true;
    }

    int fd_;
};

// The tokens of a reply without result sets: messages, ENVCHANGE, RETURNSTATUS, RETURNVALUE
// (int), DONE*. Each comes as its token byte and its body.
struct Token {
    std::uint8_t type;
    std::string body;
};

std::vector<Token> Tokens(const std::string& payload) {
    std::vector<Token> out;
    std::size_t pos = 0;
    const auto u8 = [&](std::size_t at) { return static_cast<std::uint8_t>(payload.at(at)); };
    while (pos < payload.size()) {
        const std::uint8_t type = u8(pos++);
        std::size_t length = 0;
        switch (type) {
        case 0xAA: case 0xAB: case 0xE3: case 0xAD: length = 2 + (u8(pos) | u8(pos + 1) << 8); break;
        case 0x79: length = 4; break;
        case 0xFD: case 0xFE: case 0xFF: length = 12; break;
        case 0xAC: length = 2 + 1 + 2 * u8(pos + 2) + 1 + 4 + 2 + 2 + 1 + u8(pos + 2 + 1 + 2 * u8(pos + 2) + 1 + 4 + 2 + 2); break;
        default: throw std::runtime_error("unexpected token " + std::to_string(type));
        }
        out.push_back({type, payload.substr(pos, length)});
        pos += length;
    }
    return out;
}

std::int32_t Int32(const std::string& bytes, std::size_t at) {
    return static_cast<std::int32_t>(static_cast<std::uint8_t>(bytes[at]) | static_cast<std::uint8_t>(bytes[at + 1]) << 8 |
                                     static_cast<std::uint8_t>(bytes[at + 2]) << 16 |
                                     static_cast<std::uint32_t>(static_cast<std::uint8_t>(bytes[at + 3])) << 24);
}

// The numbers of the ERROR tokens, and the value of the last RETURNVALUE.
std::vector<std::int32_t> ErrorNumbers(const std::vector<Token>& tokens) {
    std::vector<std::int32_t> out;
    for (const Token& t : tokens)
        if (t.type == 0xAA) out.push_back(Int32(t.body, 2));
    return out;
}

std::optional<std::int32_t> ReturnedInt(const std::vector<Token>& tokens) {
    std::optional<std::int32_t> value;
    for (const Token& t : tokens)
        if (t.type == 0xAC && t.body[t.body.size() - 5] == 4) value = Int32(t.body, t.body.size() - 4);  // length 4: not NULL
    return value;
}

const std::string kAttentionDone("\xFD\x20\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00", 13);
const std::string kFinalDone("\xFD\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00", 13);

class StandinServer : public testing::Test {
protected:
    static void SetUpTestSuite() {
        StandinProcess::Options options;
        options.sample = false;
        server_ = std::make_unique<StandinProcess>(options);
    }
    static void TearDownTestSuite() { server_.reset(); }
    static StandinProcess& Server() { return *server_; }

    // The server still serves: a real client logs in and runs a statement.
    static void ExpectServing(const Client* already = nullptr) {
        ASSERT_TRUE(Server().Running());
        Client fresh;
        if (!already) {
            ASSERT_TRUE(SQL_SUCCEEDED(fresh.Connect(ToolConnectionString(Server().Port(), "master"))))
                << Describe(fresh.Errors());
        }
        Statement s(already ? *already : fresh);
        EXPECT_TRUE(SQL_SUCCEEDED(s.ExecDirect("waitfor delay '00:00:00'"))) << Describe(s.Errors());
    }

    // Until the server has received `statement` (its log shows it).
    static void WaitUntilLogged(const std::string& statement) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        for (;;) {
            const std::vector<std::string> log = Server().Statements();
            if (std::count(log.begin(), log.end(), statement) > 0) return;
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << statement << " never reached the server";
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    static inline std::unique_ptr<StandinProcess> server_;
};

TEST_F(StandinServer, GarbageClosesThatConnectionWhileTheOthersGoOn) {
    Client connected;
    ASSERT_TRUE(SQL_SUCCEEDED(connected.Connect(ToolConnectionString(Server().Port(), "master"))));

    RawConnection beforeLogIn(Server().Port());
    beforeLogIn.Send("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    EXPECT_TRUE(beforeLogIn.ClosedByServer());

    RawConnection afterLogIn(Server().Port());
    ASSERT_TRUE(afterLogIn.LogIn());
    afterLogIn.Send(std::string("\x01\x01\xFF\xFF\x00\x00\x01\x00", 8));  // a batch claiming 65535 bytes
    EXPECT_TRUE(afterLogIn.ClosedByServer());

    ExpectServing(&connected);
    ExpectServing();
}

TEST_F(StandinServer, TruncatedLogInsAndHugeLengthsAreRefused) {
    LoginFields f;
    const std::string login = Login7(f);
    std::string hugeField = login;
    hugeField[38] = static_cast<char>(0xFF);  // host name of 65535 characters
    hugeField[39] = static_cast<char>(0xFF);
    std::string hugeRecord = login;
    hugeRecord[2] = 0x7F;  // record length far beyond the message
    const std::pair<std::string, std::string> cases[] = {
        {"packet length beyond the largest packet", std::string("\x12\x01\xFF\xFF\x00\x00\x01\x00", 8)},
        {"PRELOGIN option outside the message", Packet(0x12, std::string("\x00\x7F\x00\x00\x06\xFF", 6))},
        {"LOGIN7 cut short", Packet(0x10, login.substr(0, 60))},
        {"LOGIN7 field beyond the record", Packet(0x10, hugeField)},
        {"LOGIN7 length beyond the message", Packet(0x10, hugeRecord)},
        {"a batch before the log-in", Packet(0x01, SqlBatch(u"select 1"))},
    };
    for (const auto& [what, bytes] : cases) {
        RawConnection c(Server().Port());
        c.Send(bytes);
        EXPECT_TRUE(c.ClosedByServer()) << what;
    }
    ExpectServing();
}

TEST_F(StandinServer, RandomInputNeverBringsItDown) {
    std::mt19937 random(2016);
    const auto bytes = [&](std::size_t max) {
        std::string out(random() % (max + 1), '\0');
        for (char& b : out) b = static_cast<char>(random());
        return out;
    };
    for (int round = 0; round < 400; ++round) {
        RawConnection c(Server().Port());
        if (round % 3 == 1) {  // after PRELOGIN
            c.Send(Packet(0x12, PreLogin()));
            c.ReadMessage();
        } else if (round % 3 == 2) {  // after the log-in
            ASSERT_TRUE(c.LogIn());
        }
        switch (round / 3 % 4) {
        case 0:  // anything
            c.Send(bytes(2000));
            break;
        case 1: {  // a well-framed packet of a type clients send, with anything inside
            static constexpr std::uint8_t kTypes[] = {0x01, 0x03, 0x06, 0x0E, 0x10, 0x12};
            c.Send(Packet(kTypes[random() % std::size(kTypes)], bytes(1500)));
            break;
        }
        case 2:  // a procedure call by number with anything as its parameters
            c.Send(Packet(0x03, AllHeaders() + RpcByNumber(static_cast<std::uint16_t>(random() % 16)) + bytes(300)));
            break;
        default: {  // a batch of random characters
            std::u16string text(random() % 200, u' ');
            for (char16_t& ch : text) ch = static_cast<char16_t>(random() % 0x9FFF);
            c.Send(Packet(0x01, SqlBatch(text)));
            break;
        }
        }
    }
    ExpectServing();
}

TEST_F(StandinServer, MessagesSplitAtAnyByteAreUnderstood) {
    RawConnection c(Server().Port());
    ASSERT_TRUE(c.LogIn(1, 512)) << "PRELOGIN and a LOGIN7 of several packets, sent byte by byte";
    c.Send(Packets(0x01, SqlBatch(u"waitfor delay '00:00:00'\n" + std::u16string(600, u' ')), 512), 3);
    const std::optional<std::string> reply = c.ReadMessage();
    ASSERT_TRUE(reply);
    ASSERT_GE(reply->size(), 13u);
    EXPECT_EQ(*reply, kFinalDone);
}

TEST_F(StandinServer, AttentionIsAnsweredWhetherOrNotAStatementRuns) {
    RawConnection c(Server().Port());
    ASSERT_TRUE(c.LogIn());

    c.Send(Packet(0x06, ""));
    EXPECT_EQ(c.ReadMessage(), kAttentionDone) << "idle";

    c.Send(Packets(0x01, SqlBatch(u"waitfor delay '00:10:00'")));
    WaitUntilLogged("waitfor delay '00:10:00'");
    c.Send(Packet(0x06, ""));
    const std::optional<std::string> reply = c.ReadMessage();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->substr(reply->size() - 13), kAttentionDone) << "the running statement stopped";

    c.Send(Packets(0x01, SqlBatch(u"waitfor delay '00:00:00'")));
    EXPECT_EQ(c.ReadMessage(), kFinalDone) << "the next batch runs untouched";

    // An attention right behind a batch that has not started yet cancels it.
    c.Send(Packets(0x01, SqlBatch(u"waitfor delay '00:10:00'")) + Packet(0x06, ""));
    const std::optional<std::string> cancelled = c.ReadMessage();
    ASSERT_TRUE(cancelled);
    EXPECT_EQ(cancelled->substr(cancelled->size() - 13), kAttentionDone);
    c.Send(Packets(0x01, SqlBatch(u"waitfor delay '00:00:00'")));
    EXPECT_EQ(c.ReadMessage(), kFinalDone);
}

TEST_F(StandinServer, ProceduresByNumberAndByName) {
    RawConnection c(Server().Port());
    ASSERT_TRUE(c.LogIn());
    const auto call = [&](const std::string& rpc) {
        c.Send(Packets(0x03, AllHeaders() + rpc));
        const std::optional<std::string> reply = c.ReadMessage();
        EXPECT_TRUE(reply);
        return Tokens(reply.value_or(""));
    };
    const auto endsWithDoneProc = [](const std::vector<Token>& tokens) {
        return !tokens.empty() && tokens.back().type == 0xFE && (tokens.back().body[0] & 0x01) == 0;
    };

    // sp_executesql runs its statement; statements inside a procedure end in DONEINPROC.
    std::vector<Token> t = call(RpcByNumber(10) + NVarCharParam(u"@stmt", u"create table by_rpc (n int)"));
    EXPECT_TRUE(ErrorNumbers(t).empty());
    EXPECT_TRUE(endsWithDoneProc(t));
    EXPECT_EQ(t.front().type, 0xFF);

    // sp_prepare returns a handle without running; sp_execute (by number and by name) runs it.
    t = call(RpcByNumber(11) + IntParam(0, true, true) + NVarCharParam(u"", u"") + NTextParam(u"insert into by_rpc values (1)"));
    const std::optional<std::int32_t> handle = ReturnedInt(t);
    ASSERT_TRUE(handle);
    EXPECT_TRUE(endsWithDoneProc(t));
    t = call(RpcByNumber(12) + IntParam(*handle));
    EXPECT_TRUE(ErrorNumbers(t).empty());
    ASSERT_FALSE(t.empty());
    EXPECT_EQ(t.front().type, 0xFF);
    EXPECT_EQ(t.front().body[0] & 0x10, 0x10) << "the insert's row count";
    t = call(RpcByName(u"sp_execute") + IntParam(*handle) + std::string("\xFF") + RpcByNumber(15) + IntParam(*handle));
    EXPECT_TRUE(ErrorNumbers(t).empty()) << "a batch of two calls: execute, unprepare";
    EXPECT_EQ(std::count_if(t.begin(), t.end(), [](const Token& k) { return k.type == 0xFE; }), 2);
    EXPECT_EQ(ErrorNumbers(call(RpcByNumber(12) + IntParam(*handle))), std::vector<std::int32_t>{8179});

    // Refusals, with SQL Server's numbers.
    EXPECT_EQ(ErrorNumbers(call(RpcByName(u"sp_who"))), std::vector<std::int32_t>{2812});
    EXPECT_EQ(ErrorNumbers(call(RpcByNumber(10) + NVarCharParam(u"@stmt", u"select @p") + NVarCharParam(u"@params", u"@p int") +
                                IntParam(1))),
              std::vector<std::int32_t>{8144});
    EXPECT_EQ(ErrorNumbers(call(RpcByNumber(7) + IntParam(424242) + IntParam(2) + IntParam(0) + IntParam(1))),
              std::vector<std::int32_t>{16950});
    EXPECT_EQ(ErrorNumbers(call(RpcByNumber(2) + IntParam(0, true, true))), std::vector<std::int32_t>{201});
    ExpectServing();
}

// A USE inside sp_executesql is reported as the database entered and, when the call returns,
// as the one the session is back in (ENVCHANGE type 1: new name, old name), before the call's
// return status. MS-TDS does not say where among a call's tokens a server puts the second;
// FreeTDS takes an ENVCHANGE anywhere in a reply (and jTDS checks the old name against its own).
TEST_F(StandinServer, AUseInsideACallIsUndoneWithAnEnvChange) {
    RawConnection c(Server().Port());
    ASSERT_TRUE(c.LogIn());
    std::vector<Token> t;
    for (const std::u16string_view statement : {u"create database scoped", u"use scoped"}) {
        c.Send(Packets(0x03, AllHeaders() + RpcByNumber(10) + NVarCharParam(u"@stmt", statement)));
        t = Tokens(c.ReadMessage().value_or(""));
    }
    std::string types;
    for (const Token& k : t) types += static_cast<char>(k.type);
    EXPECT_EQ(types, "\xE3\xAB\xFF\xE3\x79\xFE") << "ENVCHANGE, INFO, DONEINPROC, ENVCHANGE, RETURNSTATUS, DONEPROC";
    ASSERT_EQ(t.size(), 6u);
    const std::string master = Ucs2(u"master"), scoped = Ucs2(u"scoped");
    EXPECT_EQ(t[0].body.substr(2), "\x01\x06" + scoped + "\x06" + master);
    EXPECT_EQ(t[3].body.substr(2), "\x01\x06" + master + "\x06" + scoped);
}

// EXEC in a batch answers with the procedure's RETURNSTATUS and a final DONEPROC (EXECUTE);
// a client that goes away without a word leaves its application lock behind.
TEST_F(StandinServer, ExecReturnsItsStatusAndAVanishedClientsLockIsFree) {
    const auto exec = [](RawConnection& c) -> std::optional<std::int32_t> {
        c.Send(Packets(0x01, SqlBatch(u"EXEC sp_getapplock @Resource = N'\u9501', @LockMode = 'Exclusive', "
                                      u"@LockOwner = 'Session', @LockTimeout = 0")));
        const std::vector<Token> t = Tokens(c.ReadMessage().value_or(""));
        const bool procedure = t.size() == 2 && t[0].type == 0x79 && t[1].type == 0xFE &&
                               t[1].body.substr(0, 4) == std::string("\x00\x00\xE0\x00", 4);
        EXPECT_TRUE(procedure) << "RETURNSTATUS, then DONEPROC without MORE";
        return procedure ? std::optional(Int32(t[0].body, 0)) : std::nullopt;
    };
    auto holder = std::make_unique<RawConnection>(Server().Port());
    RawConnection waiter(Server().Port());
    ASSERT_TRUE(holder->LogIn());
    ASSERT_TRUE(waiter.LogIn());
    EXPECT_EQ(exec(*holder), 0);
    EXPECT_EQ(exec(waiter), -1) << "held by the other session";
    holder.reset();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (exec(waiter) != 0) ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the lock outlived its client";
}

// RESTORE ... WITH STATS: each "n percent processed." (3211) leaves the server as the restore
// goes, in packets that do not end the reply, long before its end ("RESTORE Statements -
// Arguments (Transact-SQL)", STATS). FreeTDS's SQLExecDirect reads the whole reply before it
// returns, so this is seen on the wire only.
TEST(StandinRestoreProgress, PercentMessagesLeaveBeforeTheRestoreEnds) {
    StandinProcess::Options options;
    options.extraArgs = {"--restore-step-ms", "15"};
    StandinProcess server(options);
    RawConnection c(server.Port());
    ASSERT_TRUE(c.LogIn());
    const std::string bak = (server.DataDir().parent_path() / "p.bak").string(),
                      target = (server.DataDir().parent_path() / "r").string();
    const std::u16string sample = u"2016\u5e74\u4e61\u9547\u6570\u636e\u91c7\u96c6";
    const std::u16string path(bak.begin(), bak.end()), moved(target.begin(), target.end());
    c.Send(Packets(0x01, SqlBatch(u"backup database [" + sample + u"] to disk = N'" + path + u"'")));
    ASSERT_TRUE(ErrorNumbers(Tokens(c.ReadMessage().value_or(""))).empty());
    c.Send(Packets(0x01, SqlBatch(u"restore database r from disk = N'" + path + u"' with move N'" + sample +
                                  u"' to N'" + moved + u".mdf', move N'" + sample + u"_log' to N'" + moved +
                                  u"_log.ldf', stats = 10")));
    using Clock = std::chrono::steady_clock;
    std::optional<Clock::time_point> firstProgress;
    const std::string tenPercent = Ucs2(u"10 percent processed.");
    for (;;) {
        const std::optional<RawConnection::ReplyPacket> packet = c.ReadPacket();
        ASSERT_TRUE(packet);
        if (!firstProgress && packet->payload.find(tenPercent) != std::string::npos) {
            firstProgress = Clock::now();
            EXPECT_FALSE(packet->last) << "the restore had not ended yet";
        }
        if (packet->last) break;
    }
    ASSERT_TRUE(firstProgress);
    EXPECT_GT(Clock::now() - *firstProgress, std::chrono::milliseconds(500)) << "about 100 steps of 15 ms followed";
}

// Runs the stand-in with `args` (shell words); its exit code and everything it printed.
std::pair<int, std::string> RunStandin(const std::string& args) {
    const std::string command = "timeout 60 '" + testsupport::StandinExecutable().string() + "' " + args + " 2>&1";
    std::FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) throw std::runtime_error("popen");
    std::string output;
    char buffer[1024];
    while (std::fgets(buffer, sizeof buffer, pipe)) output += buffer;
    const int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

TEST(StandinCommandLine, BadArgumentsGetAMessageAndTheUsage) {
    const std::pair<std::string, std::string> cases[] = {
        {"--data /tmp --colour", "unknown option --colour"},
        {"--data /tmp --port", "--port needs a value"},
        {"--data /tmp --port 70000", "--port takes a number from 0 to 65535, not 70000"},
        {"--data /tmp --port 1x", "--port takes a number from 0 to 65535, not 1x"},
        {"--port 0", "--data is required"},
        {"--data /tmp --scale 3", "--scale goes with --create-sample"},
        {"--data /tmp --create-sample --scale 0", "--scale takes a number from 1 to 1000000, not 0"},
        {"--data /tmp --create-sample --sample big", "--sample takes default or township, not big"},
        {"--data /tmp --map-drive-charset GBK", "--map-drive-charset goes with --map-drive"},
        {"--data /tmp --reply-delay-ms 70000", "--reply-delay-ms takes a number from 0 to 60000, not 70000"},
        {"--data /tmp --log-requests", "--log-requests needs a value"},
    };
    for (const auto& [args, message] : cases) {
        const auto [code, output] = RunStandin(args);
        EXPECT_EQ(code, 2) << args;
        EXPECT_NE(output.find("mssql-standin: " + message + "\n"), std::string::npos) << args << "\n" << output;
        EXPECT_NE(output.find("usage: mssql-standin --data DIR"), std::string::npos) << args;
    }
}

TEST_F(StandinServer, ATakenPortIsReportedWithExitCodeOne) {
    const auto [code, output] =
        RunStandin("--data '" + Server().DataDir().string() + "' --port " + std::to_string(Server().Port()));
    EXPECT_EQ(code, 1);
    EXPECT_NE(output.find("mssql-standin: cannot listen on 127.0.0.1:" + std::to_string(Server().Port())), std::string::npos)
        << output;
    ExpectServing();
}

}  // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    testsupport::UsePrivateOdbcConfig();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
