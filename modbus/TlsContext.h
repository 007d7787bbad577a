#pragma once
// Modbus/TCP Security on the server side: the OpenSSL context made from the configured files, the
// master's role, and a non-blocking session that a poll() loop drives.
// Thread use: a TlsContext may be shared by sessions of any thread once loaded; a TlsSession
// belongs to one thread at a time.
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Errors.h"

namespace tesmor {

struct SslContextFree {
    void operator()(SSL_CTX* c) const noexcept { SSL_CTX_free(c); }
};
using SslContextPtr = std::unique_ptr<SSL_CTX, SslContextFree>;
struct SslFree {
    void operator()(SSL* s) const noexcept { SSL_free(s); }
};
using SslPtr = std::unique_ptr<SSL, SslFree>;
struct X509Free {
    void operator()(X509* x) const noexcept { X509_free(x); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;

// The role extension of Modbus/TCP Security (an ASN.1 UTF8String).
inline constexpr const char* kTlsRoleOid = "1.3.6.1.4.1.50316.802.1";

// Paths as stored in "tlsCertificate", "tlsKey" and "tlsCA" (UTF-8).
struct TlsFiles {
    std::string certificate;  // the server's PEM chain, its own certificate first
    std::string key;          // its unencrypted PEM private key
    std::string ca;           // PEM bundle of the authorities whose masters are trusted
};

class TlsContext {
public:
    // Builds a server context: TLS 1.2 or newer, the master must present a certificate that chains
    // to `files.ca`, no renegotiation. On failure there is no context and one problem line naming
    // the file and the reason (cannot be read, no PEM content, a damaged block, key not matching).
    // Sessions may be resumed, with the certificate they were made with.
    static Loaded<TlsContext> load(const TlsFiles& files);

    SSL_CTX* get() const noexcept { return ctx_.get(); }

private:
    explicit TlsContext(SslContextPtr ctx) noexcept : ctx_(std::move(ctx)) {}
    SslContextPtr ctx_;
};

// The role a master's certificate carries; nullopt when it has none, or when the extension does not
// hold a UTF8String (such a master is treated as having no role).
std::optional<std::string> tlsRole(const X509* certificate);

// Whether a master with `role` may write: `writeRoles` is the comma-separated "tlsWriteRoles"
// (spaces around names ignored, names compared exactly). Empty list or no role: nobody writes.
bool tlsRoleMayWrite(std::u16string_view writeRoles, const std::optional<std::string>& role);

enum class TlsStep {
    done,       // finished (handshake complete, bytes read, all output sent)
    wantRead,   // call again when the socket is readable
    wantWrite,  // call again when the socket is writable
    closed,     // the master closed the connection
    failed,     // the connection is unusable; error() says why
};

// One server-side TLS connection on a connected non-blocking socket, which the caller keeps open
// for the session's lifetime.
// No call blocks; each reports what the socket must become ready for before the next attempt.
class TlsSession {
public:
    // Throws std::runtime_error when OpenSSL cannot make the session (out of memory).
    TlsSession(const TlsContext& context, int socket);
    TlsSession(TlsSession&&) noexcept = default;
    TlsSession& operator=(TlsSession&&) noexcept = default;
    ~TlsSession();

    // Advances the handshake. `done` once the master's certificate has been verified.
    TlsStep handshake();
    // Reads decrypted bytes into `buffer`: `done` with bytesRead > 0, or another step with 0.
    TlsStep read(std::span<std::uint8_t> buffer, std::size_t& bytesRead);
    // True when decrypted bytes wait inside the session, where poll() does not see them.
    bool hasBufferedInput() const noexcept;
    // True when part of a record has come and the rest has not.
    bool midRecord() const noexcept;
    // Queues `data` and sends as much as the socket takes: `done` when nothing is left pending,
    // `wantWrite`/`wantRead` while output remains (call flush() when the socket is ready).
    TlsStep write(std::span<const std::uint8_t> data);
    TlsStep flush();
    bool hasPendingOutput() const noexcept { return !pending_.empty(); }

    // The verified master's role (valid after the handshake).
    const std::optional<std::string>& role() const noexcept { return role_; }
    // Why the last step failed, for the log.
    const std::string& error() const noexcept { return error_; }
    int fd() const noexcept { return socket_; }

private:
    TlsStep stepFor(int result);

    int socket_;
    SslPtr ssl_;
    std::vector<std::uint8_t> pending_;
    std::size_t inFlight_ = 0;  // length of a write OpenSSL asked to retry with the same arguments
    std::optional<std::string> role_;
    std::string error_;
    bool fatal_ = false;
};

}  // namespace tesmor
