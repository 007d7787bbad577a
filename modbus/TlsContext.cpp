#include "modbus/TlsContext.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "platform/Text.h"

namespace tesmor {
namespace {

struct BioFree {
    void operator()(BIO* b) const noexcept { BIO_free(b); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;
struct KeyFree {
    void operator()(EVP_PKEY* k) const noexcept { EVP_PKEY_free(k); }
};
struct ObjectFree {
    void operator()(ASN1_OBJECT* o) const noexcept { ASN1_OBJECT_free(o); }
};
struct Utf8StringFree {
    void operator()(ASN1_UTF8STRING* s) const noexcept { ASN1_UTF8STRING_free(s); }
};
struct NameStackFree {
    void operator()(STACK_OF(X509_NAME) * s) const noexcept { sk_X509_NAME_pop_free(s, X509_NAME_free); }
};

std::string quoted(std::string_view what, const std::string& path) {
    return std::string(what) + " \"" + path + "\"";
}

// Opens a file for PEM reading, or explains why it cannot be read.
BioPtr openFile(std::string_view what, const std::string& path, std::string& error) {
    if (path.empty()) {
        error = std::string(what) + ": no file given";
        return nullptr;
    }
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        error = quoted(what, path) + " cannot be read: " + std::strerror(errno);
        return nullptr;
    }
    BioPtr bio(BIO_new_fp(f, BIO_CLOSE));
    if (!bio) {
        std::fclose(f);
        error = quoted(what, path) + " cannot be read: out of memory";
    }
    return bio;
}

// An encrypted key would make OpenSSL ask on the terminal; refuse it instead.
int noPassword(char*, int, int, void*) { return -1; }

// Every certificate of a PEM file, in order. A block that cannot be read stops the reading and is
// named in `damage`: a bundle must never be taken as shorter than it is written.
std::vector<X509Ptr> readCertificates(BIO* bio, std::string& damage) {
    std::vector<X509Ptr> certificates;
    while (X509* x = PEM_read_bio_X509(bio, nullptr, noPassword, nullptr)) certificates.emplace_back(x);
    // The end of the file leaves a "no start line" error behind; anything else is a damaged block.
    const unsigned long last = ERR_peek_last_error();
    damage.clear();
    if (last != 0 && !(ERR_GET_LIB(last) == ERR_LIB_PEM && ERR_GET_REASON(last) == PEM_R_NO_START_LINE)) {
        char reason[256];
        ERR_error_string_n(last, reason, sizeof reason);
        damage =
            "certificate block " + std::to_string(certificates.size() + 1) + " is damaged (" + reason + ")";
    }
    ERR_clear_error();
    return certificates;
}

// Sends with MSG_NOSIGNAL: a master that vanished must not raise SIGPIPE in the host process.
int socketWrite(BIO* b, const char* data, int length) {
    BIO_clear_retry_flags(b);
    const ssize_t n = ::send(static_cast<int>(BIO_get_fd(b, nullptr)), data, static_cast<std::size_t>(length),
                             MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) BIO_set_retry_write(b);
    return static_cast<int>(n);
}

const BIO_METHOD* noSignalSocketMethod() {
    static BIO_METHOD* const method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK | BIO_TYPE_DESCRIPTOR,
                                     "socket without SIGPIPE");
        const BIO_METHOD* socket = BIO_s_socket();
        if (m) {
            BIO_meth_set_write(m, socketWrite);
            BIO_meth_set_read(m, BIO_meth_get_read(socket));
            BIO_meth_set_puts(m, BIO_meth_get_puts(socket));
            BIO_meth_set_ctrl(m, BIO_meth_get_ctrl(socket));
            BIO_meth_set_create(m, BIO_meth_get_create(socket));
            BIO_meth_set_destroy(m, BIO_meth_get_destroy(socket));
        }
        return m;
    }();
    return method;
}

std::string openSslErrors() {
    std::string text;
    while (const unsigned long e = ERR_get_error()) {
        char buffer[256];
        ERR_error_string_n(e, buffer, sizeof buffer);
        if (!text.empty()) text += "; ";
        text += buffer;
    }
    return text;
}

}  // namespace

Loaded<TlsContext> TlsContext::load(const TlsFiles& files) {
    using Result = Loaded<TlsContext>;
    ERR_clear_error();
    SslContextPtr ctx(SSL_CTX_new(TLS_server_method()));
    if (!ctx) {
        return Result::refused("TLS: cannot create a context: " + openSslErrors());
    }
    SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
    SSL_CTX_set_options(ctx.get(), SSL_OP_NO_RENEGOTIATION);
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    SSL_CTX_set_mode(ctx.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // Without it OpenSSL refuses every resumption when it asks for client certificates, so a master
    // whose library keeps its session fails each reconnect. The cache and the ticket keys belong to
    // this context: a restart of the server makes a new one, and sessions from before are not resumed.
    static constexpr unsigned char kSessionContext[] = "tesmor Modbus/TCP Security";
    SSL_CTX_set_session_id_context(ctx.get(), kSessionContext, sizeof kSessionContext - 1);

    std::string problem;  // why a file cannot be read
    const auto certificateBio = openFile("TLS certificate", files.certificate, problem);
    if (!certificateBio) return Result::refused(problem);
    std::string damage;
    auto chain = readCertificates(certificateBio.get(), damage);
    if (!damage.empty()) {
        return Result::refused(quoted("TLS certificate", files.certificate) + ": " + damage);
    }
    if (chain.empty()) {
        return Result::refused(quoted("TLS certificate", files.certificate) + " holds no PEM certificate");
    }
    if (SSL_CTX_use_certificate(ctx.get(), chain.front().get()) != 1) {
        return Result::refused(quoted("TLS certificate", files.certificate) +
                               " is not usable: " + openSslErrors());
    }
    for (std::size_t i = 1; i < chain.size(); ++i) {
        if (SSL_CTX_add1_chain_cert(ctx.get(), chain[i].get()) != 1) {
            return Result::refused(quoted("TLS certificate", files.certificate) +
                                   " is not usable: " + openSslErrors());
        }
    }

    const auto keyBio = openFile("TLS key", files.key, problem);
    if (!keyBio) return Result::refused(problem);
    std::unique_ptr<EVP_PKEY, KeyFree> key(
        PEM_read_bio_PrivateKey(keyBio.get(), nullptr, noPassword, nullptr));
    if (!key) {
        ERR_clear_error();
        return Result::refused(quoted("TLS key", files.key) + " holds no unencrypted PEM private key");
    }
    if (SSL_CTX_use_PrivateKey(ctx.get(), key.get()) != 1 || SSL_CTX_check_private_key(ctx.get()) != 1) {
        ERR_clear_error();
        return Result::refused(quoted("TLS key", files.key) + " does not match " +
                               quoted("the certificate", files.certificate));
    }

    const auto caBio = openFile("TLS CA", files.ca, problem);
    if (!caBio) return Result::refused(problem);
    const auto authorities = readCertificates(caBio.get(), damage);
    if (!damage.empty()) {
        return Result::refused(quoted("TLS CA", files.ca) + ": " + damage);
    }
    if (authorities.empty()) {
        return Result::refused(quoted("TLS CA", files.ca) + " holds no PEM certificate");
    }
    X509_STORE* store = SSL_CTX_get_cert_store(ctx.get());
    std::unique_ptr<STACK_OF(X509_NAME), NameStackFree> names(sk_X509_NAME_new_null());
    for (const auto& authority : authorities) {
        X509_NAME* name = names ? X509_NAME_dup(X509_get_subject_name(authority.get())) : nullptr;
        if (X509_STORE_add_cert(store, authority.get()) != 1 || !name ||
            !sk_X509_NAME_push(names.get(), name)) {
            X509_NAME_free(name);
            return Result::refused(quoted("TLS CA", files.ca) + " is not usable: " + openSslErrors());
        }
    }
    // Tells masters which authorities to pick their certificate for.
    SSL_CTX_set_client_CA_list(ctx.get(), names.release());
    return Result{TlsContext(std::move(ctx)), {}};
}

std::optional<std::string> tlsRole(const X509* certificate) {
    if (!certificate) return std::nullopt;
    const std::unique_ptr<ASN1_OBJECT, ObjectFree> oid(OBJ_txt2obj(kTlsRoleOid, 1));
    if (!oid) return std::nullopt;
    const int index = X509_get_ext_by_OBJ(certificate, oid.get(), -1);
    if (index < 0) return std::nullopt;
    const ASN1_OCTET_STRING* data = X509_EXTENSION_get_data(X509_get_ext(certificate, index));
    const unsigned char* p = ASN1_STRING_get0_data(data);
    const long length = ASN1_STRING_length(data);
    const std::unique_ptr<ASN1_UTF8STRING, Utf8StringFree> text(d2i_ASN1_UTF8STRING(nullptr, &p, length));
    ERR_clear_error();
    if (!text || p != ASN1_STRING_get0_data(data) + length) return std::nullopt;
    return std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(text.get())),
                       static_cast<std::size_t>(ASN1_STRING_length(text.get())));
}

bool tlsRoleMayWrite(std::u16string_view writeRoles, const std::optional<std::string>& role) {
    if (!role || role->empty()) return false;
    const std::string list = toUtf8(writeRoles);
    std::string_view rest = list;
    while (true) {
        const auto comma = rest.find(',');
        std::string_view name = rest.substr(0, comma);
        while (!name.empty() && name.front() == ' ') name.remove_prefix(1);
        while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
        if (name == *role) return true;
        if (comma == std::string_view::npos) return false;
        rest.remove_prefix(comma + 1);
    }
}

TlsSession::TlsSession(const TlsContext& context, int socket) : socket_(socket) {
    ssl_.reset(SSL_new(context.get()));
    const BIO_METHOD* method = noSignalSocketMethod();
    BIO* bio = method ? BIO_new(method) : nullptr;
    if (!ssl_ || !bio) {
        BIO_free(bio);
        ERR_clear_error();
        throw std::runtime_error("TLS: cannot create a session");
    }
    BIO_set_fd(bio, socket_, BIO_NOCLOSE);
    SSL_set_bio(ssl_.get(), bio, bio);
    SSL_set_accept_state(ssl_.get());
}

TlsSession::~TlsSession() {
    // A courtesy close_notify; a master that is gone or slow simply misses it.
    if (ssl_ && !fatal_ && SSL_is_init_finished(ssl_.get())) {
        SSL_shutdown(ssl_.get());
        ERR_clear_error();
    }
}

TlsStep TlsSession::stepFor(int result) {
    const int code = SSL_get_error(ssl_.get(), result);
    switch (code) {
        case SSL_ERROR_WANT_READ:
            return TlsStep::wantRead;
        case SSL_ERROR_WANT_WRITE:
            return TlsStep::wantWrite;
        case SSL_ERROR_ZERO_RETURN:
            return TlsStep::closed;
        default:
            break;
    }
    fatal_ = true;
    const int savedErrno = errno;
    // OpenSSL 3 reports a socket that ended without a close_notify so; a master that connects
    // and leaves without a word (a port probe) is gone, not refused.
    const unsigned long first = ERR_peek_error();
    if (code == SSL_ERROR_SSL && ERR_GET_LIB(first) == ERR_LIB_SSL &&
        ERR_GET_REASON(first) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
        ERR_clear_error();
        return TlsStep::closed;
    }
    error_ = openSslErrors();
    const long verify = SSL_get_verify_result(ssl_.get());
    if (verify != X509_V_OK)
        error_ = std::string("certificate refused: ") + X509_verify_cert_error_string(verify);
    if (error_.empty()) {
        if (code == SSL_ERROR_SYSCALL && savedErrno == ECONNRESET) {
            return TlsStep::closed;  // a master that quits with records unread resets the socket
        } else if (code == SSL_ERROR_SYSCALL && savedErrno != 0) {
            error_ = std::strerror(savedErrno);
        } else if (code == SSL_ERROR_SYSCALL) {
            return TlsStep::closed;  // the socket ended without a close_notify
        } else {
            error_ = "TLS error " + std::to_string(code);
        }
    }
    return TlsStep::failed;
}

TlsStep TlsSession::handshake() {
    if (fatal_) return TlsStep::failed;
    ERR_clear_error();
    errno = 0;
    const int result = SSL_do_handshake(ssl_.get());
    if (result != 1) return stepFor(result);
    const X509Ptr peer(SSL_get1_peer_certificate(ssl_.get()));
    if (!peer || SSL_get_verify_result(ssl_.get()) != X509_V_OK) {
        // The context's verify flags make this unreachable; kept so no unverified master gets in.
        fatal_ = true;
        error_ = "certificate refused: none verified";
        return TlsStep::failed;
    }
    role_ = tlsRole(peer.get());
    return TlsStep::done;
}

TlsStep TlsSession::read(std::span<std::uint8_t> buffer, std::size_t& bytesRead) {
    bytesRead = 0;
    if (fatal_) return TlsStep::failed;
    if (buffer.empty()) return TlsStep::done;
    ERR_clear_error();
    errno = 0;
    const int result = SSL_read_ex(ssl_.get(), buffer.data(), buffer.size(), &bytesRead);
    if (result == 1) return TlsStep::done;
    bytesRead = 0;
    return stepFor(result);
}

bool TlsSession::hasBufferedInput() const noexcept {
    // Decrypted bytes only: a partial record also counts for SSL_has_pending, and reading on for it
    // would spin until its last byte came.
    return ssl_ && !fatal_ && SSL_pending(ssl_.get()) > 0;
}

bool TlsSession::midRecord() const noexcept {
    return ssl_ && !fatal_ && SSL_pending(ssl_.get()) == 0 && SSL_has_pending(ssl_.get()) == 1;
}

TlsStep TlsSession::write(std::span<const std::uint8_t> data) {
    if (fatal_) return TlsStep::failed;
    pending_.insert(pending_.end(), data.begin(), data.end());
    return flush();
}

TlsStep TlsSession::flush() {
    if (fatal_) return TlsStep::failed;
    while (!pending_.empty()) {
        // OpenSSL wants a retried write repeated with the same length.
        const std::size_t length = inFlight_ != 0 ? inFlight_ : pending_.size();
        ERR_clear_error();
        errno = 0;
        std::size_t written = 0;
        const int result = SSL_write_ex(ssl_.get(), pending_.data(), length, &written);
        if (result != 1) {
            const TlsStep step = stepFor(result);
            if (step == TlsStep::wantRead || step == TlsStep::wantWrite) inFlight_ = length;
            return step;
        }
        inFlight_ = 0;
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(written));
    }
    return TlsStep::done;
}

}  // namespace tesmor
