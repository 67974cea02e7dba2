#pragma once
// Integrated (Windows) log-in as SQL Server on a Kerberos realm answers it: the client's LOGIN7
// carries a GSSAPI token in its SSPI field (FreeTDS: a Kerberos token from its ticket for
// MSSQLSvc/<host>:<port>); the server accepts it with the key of that service principal from
// its keytab, answers with its own token (the mutual authentication's reply) and knows the
// client as the Windows account REALM\user.

#include <filesystem>
#include <string>
#include <string_view>

namespace standin {

struct IntegratedLogin {
    bool accepted = false;
    std::string replyToken;  // for the client, in an SSPI token; may be empty
    std::string account;     // "REALM\user" once accepted
    std::string reason;      // why not, for the server's own log
};

// Accepts `token` with the keys of `keytab`, for clients of `realm` only. A token that does not
// verify, or a client of another realm, is not accepted.
IntegratedLogin AcceptIntegratedLogin(std::string_view token, const std::filesystem::path& keytab,
                                      std::string_view realm);

// A Kerberos principal "user@REALM" as SQL Server shows a Windows account: "REALM\user". The
// realm in `realm`; empty when the name has none.
std::string WindowsAccount(std::string_view principal, std::string* realm);

}  // namespace standin
