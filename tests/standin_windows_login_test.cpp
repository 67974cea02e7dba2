// Windows (integrated) log-in through the real driver: FreeTDS, with Trusted_Connection=Yes,
// sends a Kerberos token from its ticket for MSSQLSvc/127.0.0.1:<port> in LOGIN7's SSPI field;
// the stand-in accepts it with its keytab and answers with its own token, as SQL Server does
// ([MS-TDS] "LOGIN7", "SSPI"; the server names the log-in as "SUSER_SNAME (Transact-SQL)" says,
// DOMAIN\user), and refuses what it cannot trust with 18452 ("MSSQLSERVER_18452").

#include <gtest/gtest.h>

#include <clocale>

#include "kerberos_realm.h"
#include "standin_odbc.h"
#include "standin_process.h"

namespace {

using namespace standintest;
using testsupport::KerberosRealm;
using testsupport::StandinProcess;

constexpr const char* kUntrustedDomain =
    "Login failed. The login is from an untrusted domain and cannot be used with Integrated authentication.";

std::string WhoIsLoggedIn(const Client& client) {
    Statement s(client);
    EXPECT_TRUE(SQL_SUCCEEDED(s.ExecDirect("SELECT SUSER_SNAME()")));
    const std::vector<Row> rows = s.FetchAll();
    return rows.size() == 1 && rows[0].size() == 1 ? rows[0][0].value_or("NULL") : "?";
}

// One stand-in per case: with the realm's keytab (`admitted`) or of SQL log-ins only; its
// principal in `serviceRealm`, or (null) in the realm but not in the stand-in's keytab.
TEST(WindowsLogin, TheRealmsUserIsHisWindowsAccountAndWhatTheServerCannotTrustIsRefused) {
    using Ticket = KerberosRealm::Ticket;
    const KerberosRealm realm;
    struct Case {
        const char* what;
        bool admitted;
        const char* serviceRealm;
        Ticket ticket;
        std::string expected;  // SUSER_SNAME(), or "18452", or "" where no token reaches the server
    };
    const Case cases[] = {
        {"the realm's user", true, KerberosRealm::kRealm, Ticket::Auditor, KerberosRealm::kAccount},
        {"no ticket", true, KerberosRealm::kRealm, Ticket::None, ""},
        {"an expired ticket", true, KerberosRealm::kRealm, Ticket::Expired, ""},
        {"another realm's user", true, KerberosRealm::kOtherRealm, Ticket::OtherRealmAuditor, "18452"},
        {"no key for the service", true, nullptr, Ticket::Auditor, "18452"},
        {"a server of SQL log-ins only", false, KerberosRealm::kRealm, Ticket::Auditor, "18452"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        StandinProcess::Options options;
        options.sample = false;
        if (c.admitted) options.extraArgs = realm.StandinArguments();
        StandinProcess server(options);
        realm.AddService(server.Port(), c.serviceRealm ? c.serviceRealm : KerberosRealm::kRealm,
                         c.serviceRealm ? "" : server.DataDir() / "not-the-servers.keytab");
        realm.Use(c.ticket);
        Client windows;
        const bool in = SQL_SUCCEEDED(windows.Connect("DRIVER=SQL Server;SERVER=127.0.0.1," + std::to_string(server.Port()) +
                                                      ";Trusted_Connection=Yes;WSID=AUDIT-PC;DATABASE=master"));
        const std::vector<Diagnostic> errors = windows.Errors();  // read once: reading takes them
        const std::string said = Describe(errors);
        EXPECT_EQ(in ? WhoIsLoggedIn(windows) : HasNative(errors, 18452) ? "18452" : "", c.expected) << said;
        EXPECT_EQ(said.find(kUntrustedDomain) != std::string::npos, c.expected == "18452") << said;
        realm.Use(Ticket::Auditor);
        if (!in) continue;
        Client sql;  // a SQL log-in beside it is its name
        ASSERT_TRUE(SQL_SUCCEEDED(sql.Connect(ToolConnectionString(server.Port(), "master"))));
        EXPECT_EQ(WhoIsLoggedIn(sql), "sa");
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    testsupport::UsePrivateOdbcConfig();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
