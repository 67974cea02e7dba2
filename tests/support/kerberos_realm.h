#pragma once
// A throwaway Kerberos realm for the tests of Windows (integrated) log-in: scripts/kerberos-realm
// in a temporary folder, its KDC on loopback, stopped with this object (or, should the test
// process die, once the process is gone). While it lives, the process and the programs it
// starts use the realm's krb5.conf and ticket cache (KRB5_CONFIG, KRB5CCNAME).

#include <filesystem>
#include <string>
#include <vector>

namespace testsupport {

class KerberosRealm {
public:
    static constexpr const char* kRealm = "TARVEX.TEST";
    static constexpr const char* kOtherRealm = "OTHER.TEST";  // a realm the stand-ins do not trust
    static constexpr const char* kAccount = "TARVEX.TEST\\auditor";  // its user, as SQL Server names him

    KerberosRealm();  // throws when the realm cannot be made
    ~KerberosRealm();
    KerberosRealm(const KerberosRealm&) = delete;
    KerberosRealm& operator=(const KerberosRealm&) = delete;

    // The service principal MSSQLSvc/127.0.0.1:<port> in `realm`, its key written into
    // `keytab` (the stand-ins' keytab when empty).
    void AddService(int port, const std::string& realm = kRealm, std::filesystem::path keytab = {}) const;
    // The stand-in's arguments for admitting the realm's users with its keytab.
    std::vector<std::string> StandinArguments() const;

    // Whose ticket the process and its programs use from now on.
    enum class Ticket { Auditor, OtherRealmAuditor, Expired, None };
    void Use(Ticket ticket) const;

private:
    std::filesystem::path dir_;
    std::filesystem::path keytab_;
};

}  // namespace testsupport
