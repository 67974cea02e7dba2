// Windows (integrated) log-in through the real driver: FreeTDS, with Trusted_Connection=Yes,
// sends a Kerberos token from its ticket for MSSQLSvc/127.0.0.1:<port> in LOGIN7's SSPI field;
// the stand-in accepts it with its keytab and answers with its own token, as SQL Server does
// ([MS-TDS] "LOGIN7", "SSPI"; the server names the log-in as "SUSER_SNAME (Transact-SQL)" says,
// DOMAIN\user), and refuses what it cannot trust with 18452 ("MSSQLSERVER_18452").

#include <gtest/gtest.h>

#include <clocale>
#include <memory>

#include "kerberos_realm.h"
#include "standin_odbc.h"
#include "standin_process.h"

namespace {

using namespace standintest;
using testsupport::KerberosRealm;
using testsupport::StandinProcess;

constexpr const char* kUntrustedDomain =
    "Login failed. The login is from an untrusted domain and cannot be used with Integrated authentication.";

class WindowsLogin : public testing::Test {
protected:
    static void SetUpTestSuite() { realm_ = std::make_unique<KerberosRealm>(); }
    static void TearDownTestSuite() { realm_.reset(); }
    void TearDown() override { realm_->Use(KerberosRealm::Ticket::Auditor); }

    // A stand-in; `admitted`: with the realm's keytab, else it admits SQL log-ins only.
    static std::unique_ptr<StandinProcess> Server(bool admitted) {
        StandinProcess::Options options;
        options.sample = false;
        if (admitted) options.extraArgs = realm_->StandinArguments();
        return std::make_unique<StandinProcess>(options);
    }
    static std::string Trusted(int port) {
        return "DRIVER=SQL Server;SERVER=127.0.0.1," + std::to_string(port) + ";Trusted_Connection=Yes;WSID=AUDIT-PC;DATABASE=master";
    }
    static std::string WhoIsLoggedIn(const Client& client) {
        Statement s(client);
        EXPECT_TRUE(SQL_SUCCEEDED(s.ExecDirect("SELECT SUSER_SNAME()")));
        const std::vector<Row> rows = s.FetchAll();
        return rows.size() == 1 && rows[0].size() == 1 ? rows[0][0].value_or("NULL") : "?";
    }

    static std::unique_ptr<KerberosRealm> realm_;
};
std::unique_ptr<KerberosRealm> WindowsLogin::realm_;

TEST_F(WindowsLogin, TheRealmsUserLogsInAsHisWindowsAccountAndASqlLogInAsItsName) {
    const auto server = Server(true);
    realm_->AddService(server->Port());
    Client windows;
    ASSERT_TRUE(SQL_SUCCEEDED(windows.Connect(Trusted(server->Port())))) << Describe(windows.Errors());
    EXPECT_EQ(WhoIsLoggedIn(windows), KerberosRealm::kAccount);
    Client sql;
    ASSERT_TRUE(SQL_SUCCEEDED(sql.Connect(ToolConnectionString(server->Port(), "master"))));
    EXPECT_EQ(WhoIsLoggedIn(sql), "sa");
}

// Each refused as SQL Server refuses it, except where the client never gets a token to send.
TEST_F(WindowsLogin, WhatTheServerCannotTrustIsRefused) {
    struct Case {
        const char* what;
        bool admitted;                    // the server has the realm's keytab
        const char* serviceRealm;         // where the server's principal is; null: nowhere
        KerberosRealm::Ticket ticket;
        bool reachesServer;
    };
    const Case cases[] = {
        {"no ticket", true, KerberosRealm::kRealm, KerberosRealm::Ticket::None, false},
        {"an expired ticket", true, KerberosRealm::kRealm, KerberosRealm::Ticket::Expired, false},
        {"another realm's user", true, KerberosRealm::kOtherRealm, KerberosRealm::Ticket::OtherRealmAuditor, true},
        {"no key for the service", true, nullptr, KerberosRealm::Ticket::Auditor, true},
        {"a server of SQL log-ins only", false, KerberosRealm::kRealm, KerberosRealm::Ticket::Auditor, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto server = Server(c.admitted);
        // Without a key in the server's keytab the client still gets its ticket from the KDC.
        if (c.serviceRealm) {
            realm_->AddService(server->Port(), c.serviceRealm);
        } else {
            realm_->AddService(server->Port(), KerberosRealm::kRealm, server->DataDir() / "not-the-servers.keytab");
        }
        realm_->Use(c.ticket);
        Client client;
        EXPECT_FALSE(SQL_SUCCEEDED(client.Connect(Trusted(server->Port()))));
        const std::vector<Diagnostic> errors = client.Errors();
        EXPECT_EQ(HasNative(errors, 18452), c.reachesServer) << Describe(errors);
        if (c.reachesServer) {
            EXPECT_NE(Describe(errors).find(kUntrustedDomain), std::string::npos);
        }
        realm_->Use(KerberosRealm::Ticket::Auditor);
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    testsupport::UsePrivateOdbcConfig();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
