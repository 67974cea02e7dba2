#include "kerberos_realm.h"

#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

namespace testsupport {
namespace {

void RunScript(const std::string& arguments) {
    const std::string command = std::string(KERBEROS_REALM_SCRIPT) + " " + arguments;
    if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
}

}  // namespace

KerberosRealm::KerberosRealm() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tarvex-realm-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot make a folder for the realm");
    dir_ = std::filesystem::path(pattern) / "realm";
    keytab_ = std::filesystem::path(pattern) / "services.keytab";
    RunScript("start " + dir_.string() + " " + std::to_string(::getpid()));
    Use(Ticket::Auditor);
}

KerberosRealm::~KerberosRealm() {
    try {
        RunScript("stop " + dir_.string());
    } catch (const std::exception&) {
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir_.parent_path(), ignored);
    ::unsetenv("KRB5_CONFIG");
    ::unsetenv("KRB5CCNAME");
}

void KerberosRealm::AddService(int port, const std::string& realm, std::filesystem::path keytab) const {
    if (keytab.empty()) keytab = keytab_;
    RunScript("service " + dir_.string() + " MSSQLSvc/127.0.0.1:" + std::to_string(port) + " " + keytab.string() + " " +
              realm);
}

std::vector<std::string> KerberosRealm::StandinArguments() const {
    return {"--keytab", keytab_.string(), "--realm", kRealm};
}

void KerberosRealm::Use(Ticket ticket) const {
    const std::filesystem::path own = ticket == Ticket::OtherRealmAuditor ? dir_ / "other" : dir_;
    const char* cache = "ccache";
    if (ticket == Ticket::None) cache = "no-ccache";
    if (ticket == Ticket::Expired) {
        RunScript("expired " + dir_.string());
        cache = "expired-ccache";
    }
    ::setenv("KRB5_CONFIG", (own / "krb5.conf").c_str(), 1);
    ::setenv("KRB5CCNAME", ("FILE:" + (own / cache).string()).c_str(), 1);
}

}  // namespace testsupport
