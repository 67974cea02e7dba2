#include "integrated_login.h"

#include <gssapi/gssapi.h>
#include <gssapi/gssapi_ext.h>

namespace standin {
namespace {

// GSSAPI objects, released with their owner.
class Credential {
public:
    ~Credential() {
        OM_uint32 minor = 0;
        if (handle != GSS_C_NO_CREDENTIAL) gss_release_cred(&minor, &handle);
    }
    gss_cred_id_t handle = GSS_C_NO_CREDENTIAL;
};

class Context {
public:
    ~Context() {
        OM_uint32 minor = 0;
        if (handle != GSS_C_NO_CONTEXT) gss_delete_sec_context(&minor, &handle, GSS_C_NO_BUFFER);
    }
    gss_ctx_id_t handle = GSS_C_NO_CONTEXT;
};

class Name {
public:
    ~Name() {
        OM_uint32 minor = 0;
        if (handle != GSS_C_NO_NAME) gss_release_name(&minor, &handle);
    }
    gss_name_t handle = GSS_C_NO_NAME;
};

class Buffer {
public:
    ~Buffer() {
        OM_uint32 minor = 0;
        gss_release_buffer(&minor, &value);
    }
    std::string Text() const { return std::string(static_cast<const char*>(value.value), value.length); }
    gss_buffer_desc value{0, nullptr};
};

// The library's words for a status, major and minor.
std::string StatusText(OM_uint32 status, int type) {
    std::string text;
    OM_uint32 more = 0;
    do {
        OM_uint32 minor = 0;
        Buffer line;
        if (GSS_ERROR(gss_display_status(&minor, status, type, GSS_C_NO_OID, &more, &line.value))) break;
        text += (text.empty() ? "" : "; ") + line.Text();
    } while (more != 0);
    return text;
}

std::string Failure(const char* step, OM_uint32 major, OM_uint32 minor) {
    return std::string(step) + ": " + StatusText(major, GSS_C_GSS_CODE) + " (" + StatusText(minor, GSS_C_MECH_CODE) + ")";
}

}  // namespace

std::string WindowsAccount(std::string_view principal, std::string* realm) {
    const std::size_t at = principal.rfind('@');
    realm->assign(at == std::string_view::npos ? std::string_view() : principal.substr(at + 1));
    const std::string_view user = principal.substr(0, at);
    return realm->empty() ? std::string(user) : *realm + "\\" + std::string(user);
}

IntegratedLogin AcceptIntegratedLogin(std::string_view token, const std::filesystem::path& keytab,
                                      std::string_view realm) {
    IntegratedLogin login;
    OM_uint32 minor = 0;
    // The keytab of this server only: nothing of the process's environment.
    const std::string keytabName = "FILE:" + keytab.string();
    gss_key_value_element_desc element{"keytab", keytabName.c_str()};
    const gss_key_value_set_desc store{1, &element};
    Credential credential;
    OM_uint32 major = gss_acquire_cred_from(&minor, GSS_C_NO_NAME, GSS_C_INDEFINITE, GSS_C_NO_OID_SET, GSS_C_ACCEPT,
                                            &store, &credential.handle, nullptr, nullptr);
    if (GSS_ERROR(major)) {
        login.reason = Failure("the keytab", major, minor);
        return login;
    }
    Context context;
    Name client;
    Buffer reply;
    gss_buffer_desc input{token.size(), const_cast<char*>(token.data())};
    major = gss_accept_sec_context(&minor, &context.handle, credential.handle, &input, GSS_C_NO_CHANNEL_BINDINGS,
                                   &client.handle, nullptr, &reply.value, nullptr, nullptr, nullptr);
    if (major != GSS_S_COMPLETE) {
        // Kerberos completes in one step; a mechanism that wants more is not served.
        login.reason = Failure("the client's token", major, minor);
        return login;
    }
    Buffer principal;
    major = gss_display_name(&minor, client.handle, &principal.value, nullptr);
    if (GSS_ERROR(major)) {
        login.reason = Failure("the client's name", major, minor);
        return login;
    }
    std::string clientRealm;
    login.account = WindowsAccount(principal.Text(), &clientRealm);
    if (clientRealm != realm) {
        login.reason = "the client " + principal.Text() + " is not of the realm " + std::string(realm);
        return login;
    }
    login.replyToken = reply.Text();
    login.accepted = true;
    return login;
}

}  // namespace standin
