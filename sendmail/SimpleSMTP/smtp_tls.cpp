// TLS for the SMTP client, with OpenSSL: the node's client context (trust, verification, the
// client certificate, the sessions kept for resumption, one per server) and the stream over one
// connected socket. OpenSSL does the protocol; this file only ties it to the socket without
// blocking and bounds every wait.
#include <arpa/inet.h>
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

#include "smtp_internal.h"
#include "smtp_submit.h"

namespace smtp {

// Sessions live in the context that made them, so one is only ever offered under the trust,
// verification and client certificate it was made with; and under the server ("host:port") it
// came from, since a resumed handshake skips the certificate and its name check.
struct TlsClient::Impl {
  SSL_CTX* ctx = nullptr;
  bool ownCa = false;  // TLSCAFile given: it, not the system store, is the trust
  // Servers a node sends to are few (a relay, a fallback): a small cap bounds the memory a
  // node that is pointed at many still holds.
  static constexpr std::size_t kServersKept = 16;
  std::mutex lock;
  struct Kept {
    std::string server;
    SSL_SESSION* session;  // the latest resumable one that server handed out
  };
  std::vector<Kept> kept;  // the most recently used server first, at most kServersKept

  ~Impl() {
    for (const Kept& k : kept) SSL_SESSION_free(k.session);
    if (ctx != nullptr) SSL_CTX_free(ctx);
  }

  // A copy of the session kept for `server`, or null. The copy is what a handshake gets: a
  // TLS 1.3 resumption leaves the offered object spent, and a server need not send a new ticket
  // on a resumed connection (Postfix does not), so the kept one must stay untouched for the next.
  SSL_SESSION* offer(const std::string& server) {
    std::lock_guard<std::mutex> guard(lock);
    const auto at = std::find_if(kept.begin(), kept.end(), [&](const Kept& k) { return k.server == server; });
    if (at == kept.end()) return nullptr;
    std::rotate(kept.begin(), at, at + 1);
    return SSL_SESSION_dup(kept.front().session);
  }

  // Keeps `fresh` (its reference passes here) as the server's session in place of an older one.
  void keep(const std::string& server, SSL_SESSION* fresh) {
    std::lock_guard<std::mutex> guard(lock);
    auto at = std::find_if(kept.begin(), kept.end(), [&](const Kept& k) { return k.server == server; });
    if (at == kept.end()) {
      if (kept.size() == kServersKept) {
        SSL_SESSION_free(kept.back().session);
        kept.pop_back();
      }
      kept.push_back({server, nullptr});
      at = kept.end() - 1;
    }
    std::rotate(kept.begin(), at, at + 1);
    if (kept.front().session != nullptr) SSL_SESSION_free(kept.front().session);
    kept.front().session = fresh;
  }
};

namespace {
// Why a CA file did not load, in its user's terms: the system's reason when it cannot be opened,
// otherwise that OpenSSL found no certificate in it.
std::string caFileTrouble(const std::string& file) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::generic_category().message(errno);
  struct stat status {};
  const bool folder = ::fstat(fd, &status) == 0 && S_ISDIR(status.st_mode);
  ::close(fd);
  return folder ? "a folder, not a file" : "no certificate in it (a PEM file of CA certificates is expected)";
}
// With the socket glue, below.
int certificateAsked(SSL* ssl, X509** certificate, EVP_PKEY** key);
int sessionReceived(SSL* ssl, SSL_SESSION* session);
}  // namespace

TlsClient::TlsClient(std::unique_ptr<Impl> impl) noexcept : impl_(std::move(impl)) {}
TlsClient::~TlsClient() = default;

std::unique_ptr<TlsClient> TlsClient::create(bool verify, const std::string& caFile, std::string& why) {
  auto impl = std::make_unique<Impl>();
  impl->ctx = SSL_CTX_new(TLS_client_method());
  if (impl->ctx == nullptr) {
    why = "no TLS context";
    return nullptr;
  }
  SSL_CTX_set_min_proto_version(impl->ctx, TLS1_2_VERSION);
  SSL_CTX_set_mode(impl->ctx, SSL_MODE_ENABLE_PARTIAL_WRITE);
  const bool trusted = caFile.empty() ? SSL_CTX_set_default_verify_paths(impl->ctx) == 1
                                      : SSL_CTX_load_verify_locations(impl->ctx, caFile.c_str(), nullptr) == 1;
  ERR_clear_error();
  if (!trusted && verify) {
    why = caFile.empty() ? "the system's trusted certificates cannot be read"
                         : "TLSCAFile " + caFile + ": " + caFileTrouble(caFile);
    return nullptr;
  }
  impl->ownCa = !caFile.empty();
  // The trusted certificates' extensions are worked out here, once, not by the first handshakes
  // of several threads at once: OpenSSL fills that cache lazily, under a lock not every reader
  // of it takes.
  STACK_OF(X509_OBJECT)* trust = X509_STORE_get0_objects(SSL_CTX_get_cert_store(impl->ctx));
  for (int i = 0; i < sk_X509_OBJECT_num(trust); ++i) {
    if (X509* certificate = X509_OBJECT_get0_X509(sk_X509_OBJECT_value(trust, i)))
      X509_check_purpose(certificate, -1, 0);
  }
  SSL_CTX_set_verify(impl->ctx, verify ? SSL_VERIFY_PEER : SSL_VERIFY_NONE, nullptr);
  // Sessions are kept by us, not by OpenSSL's cache, and offered again on the next connect to
  // the same server.
  SSL_CTX_set_session_cache_mode(impl->ctx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
  SSL_CTX_sess_set_new_cb(impl->ctx, &sessionReceived);
  SSL_CTX_set_client_cert_cb(impl->ctx, &certificateAsked);
  return std::unique_ptr<TlsClient>(new TlsClient(std::move(impl)));
}

namespace {
// The earliest reason OpenSSL queued (the cause; later ones only say where it surfaced), and an
// empty queue after.
std::string openSslReason() {
  std::string reason;
  while (const unsigned long e = ERR_get_error()) {
    const char* text = ERR_reason_error_string(e);
    if (reason.empty() && text != nullptr) reason = text;
  }
  return reason.empty() ? "unknown reason" : reason;
}

// Why `path` cannot be opened for reading, or nothing when it can.
std::string unreadable(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "r");
  if (file != nullptr) {
    std::fclose(file);
    return {};
  }
  return std::strerror(errno);
}
}  // namespace

bool TlsClient::useCertificate(const std::string& certFile, const std::string& keyFile, std::string& why) {
  SSL_CTX* ctx = impl_->ctx;
  const std::string& key = keyFile.empty() ? certFile : keyFile;
  const char* keyName = keyFile.empty() ? "TLSClientCert" : "TLSClientKey";
  // A key with a passphrase is refused: nothing may prompt on the broker's terminal for it.
  bool asked = false;
  SSL_CTX_set_default_passwd_cb_userdata(ctx, &asked);
  SSL_CTX_set_default_passwd_cb(ctx, [](char*, int, int, void* flag) {
    *static_cast<bool*>(flag) = true;
    return -1;
  });
  ERR_clear_error();
  if (const std::string e = unreadable(certFile); !e.empty()) {
    why = "TLSClientCert cannot be read: " + certFile + ": " + e;
  } else if (SSL_CTX_use_certificate_chain_file(ctx, certFile.c_str()) != 1) {
    why = "TLSClientCert holds no usable certificate: " + certFile + " (" + openSslReason() + ")";
  } else if (const std::string e = unreadable(key); !e.empty()) {
    why = std::string(keyName) + " cannot be read: " + key + ": " + e;
  } else if (SSL_CTX_use_PrivateKey_file(ctx, key.c_str(), SSL_FILETYPE_PEM) != 1) {
    const std::string reason = openSslReason();
    why = asked ? std::string(keyName) + " is encrypted: a key with a passphrase cannot be used (" + reason + ")"
          : reason == "key values mismatch"
              ? std::string(keyName) + " does not match TLSClientCert (" + reason + ")"
              : std::string(keyName) + " holds no usable private key: " + key + " (" + reason + ")";
  } else if (SSL_CTX_check_private_key(ctx) != 1) {
    why = std::string(keyName) + " does not match TLSClientCert (" + openSslReason() + ")";
  }
  SSL_CTX_set_default_passwd_cb(ctx, nullptr);
  SSL_CTX_set_default_passwd_cb_userdata(ctx, nullptr);
  ERR_clear_error();
  return why.empty();
}

// The socket glue: a BIO whose reads and writes never block and never raise SIGPIPE (OpenSSL's
// own socket BIO writes with write(2)). The first bytes read are kept to tell a plain server.
struct TlsStream::Io {
  static BIO_METHOD* method() {
    static BIO_METHOD* const made = [] {
      BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "smtp socket");
      BIO_meth_set_write(m, &Io::write);
      BIO_meth_set_read(m, &Io::read);
      BIO_meth_set_ctrl(m, &Io::ctrl);
      return m;
    }();
    return made;
  }
  static TlsStream& of(BIO* bio) { return *static_cast<TlsStream*>(BIO_get_data(bio)); }

  static int write(BIO* bio, const char* data, int length) {
    BIO_clear_retry_flags(bio);
    ssize_t sent;
    do {
      sent = ::send(of(bio).fd_, data, static_cast<std::size_t>(length), MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) BIO_set_retry_write(bio);
    return static_cast<int>(sent);
  }
  static int read(BIO* bio, char* data, int length) {
    BIO_clear_retry_flags(bio);
    TlsStream& stream = of(bio);
    ssize_t got;
    do {
      got = ::recv(stream.fd_, data, static_cast<std::size_t>(length), MSG_DONTWAIT);
    } while (got < 0 && errno == EINTR);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) BIO_set_retry_read(bio);
    for (ssize_t i = 0; i < got && stream.firstLength_ < sizeof stream.first_; ++i)
      stream.first_[stream.firstLength_++] = data[i];
    return static_cast<int>(got);
  }
  static long ctrl(BIO*, int command, long, void*) { return command == BIO_CTRL_FLUSH ? 1 : 0; }
  // Called only when the server asks for a certificate and the node has none to show.
  static int certificateAsked(SSL* ssl, X509**, EVP_PKEY**) {
    if (auto* stream = static_cast<TlsStream*>(SSL_get_app_data(ssl))) stream->certificateAsked_ = true;
    return 0;
  }
  // A new session (a TLS 1.3 ticket comes after the handshake, with the first data read): the
  // server's latest, kept when it can be resumed. 1: the reference is ours now.
  static int sessionReceived(SSL* ssl, SSL_SESSION* session) {
    auto* stream = static_cast<TlsStream*>(SSL_get_app_data(ssl));
    if (stream == nullptr || SSL_SESSION_is_resumable(session) == 0) return 0;
    try {
      stream->client_.impl().keep(stream->server_, session);
    } catch (...) {  // no memory: this connection's session is not kept
      return 0;
    }
    return 1;
  }
};

namespace {
using Clock = std::chrono::steady_clock;
SSL* asSsl(void* p) { return static_cast<SSL*>(p); }

int certificateAsked(SSL* ssl, X509** certificate, EVP_PKEY** key) {
  return TlsStream::Io::certificateAsked(ssl, certificate, key);
}
int sessionReceived(SSL* ssl, SSL_SESSION* session) { return TlsStream::Io::sessionReceived(ssl, session); }

// A certificate whose issuer is not among the trusted ones: self-signed, or signed by a CA the
// trust does not hold (an internal one, most often).
bool unknownIssuer(long verified) {
  return verified == X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT || verified == X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN ||
         verified == X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT || verified == X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY ||
         verified == X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE;
}

bool isAddress(const std::string& host) {
  unsigned char ignored[16];
  return ::inet_pton(AF_INET, host.c_str(), ignored) == 1 || ::inet_pton(AF_INET6, host.c_str(), ignored) == 1;
}
}  // namespace

TlsStream::TlsStream(int fd, TlsClient& client, std::string server) noexcept
    : fd_(fd), client_(client), server_(std::move(server)) {}

TlsStream::~TlsStream() {
  if (ssl_ != nullptr) SSL_free(asSsl(ssl_));
}

bool TlsStream::await(int result, Clock::time_point deadline) noexcept {
  const int error = SSL_get_error(asSsl(ssl_), result);
  const auto left = std::chrono::ceil<Millis>(deadline - Clock::now());
  if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) return false;
  const bool ready = left.count() > 0 &&
                     (error == SSL_ERROR_WANT_READ ? waitReadable(fd_, left) : waitWritable(fd_, left));
  timedOut_ = !ready;
  return ready;
}

bool TlsStream::handshake(std::string_view name, Millis bound, bool afterStartTls, std::string& why) noexcept {
  try {
    TlsClient::Impl& context = client_.impl();
    SSL* ssl = SSL_new(context.ctx);
    BIO* bio = ssl != nullptr ? BIO_new(Io::method()) : nullptr;
    if (bio == nullptr) {
      if (ssl != nullptr) SSL_free(ssl);
      why = "no memory";
      return false;
    }
    ssl_ = ssl;
    SSL_set_app_data(ssl, this);
    BIO_set_data(bio, this);
    BIO_set_init(bio, 1);
    SSL_set_bio(ssl, bio, bio);
    // A record in one receive rather than its header and its body in two; what comes with it
    // waits in OpenSSL's buffer (SSL_has_pending).
    SSL_set_read_ahead(ssl, 1);
    const std::string host(name);
    if (isAddress(host)) {
      X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host.c_str());
    } else {
      SSL_set_tlsext_host_name(ssl, host.c_str());
      SSL_set1_host(ssl, host.c_str());
    }
    if (SSL_SESSION* kept = context.offer(server_)) {
      SSL_set_session(ssl, kept);
      SSL_SESSION_free(kept);  // the handshake holds its own reference
    }
    const auto deadline = Clock::now() + bound;
    ERR_clear_error();
    for (int rc; (rc = SSL_connect(ssl)) != 1;) {
      if (await(rc, deadline)) continue;
      const long verified = SSL_get_verify_result(ssl);
      const bool plain = firstLength_ >= 3 && first_[0] >= '0' && first_[0] <= '9';
      lost_ = timedOut_;
      if (timedOut_) {
        why = "no answer from the server within " + std::to_string(bound.count()) + " ms";
      } else if (plain) {
        why = afterStartTls ? "no TLS answer: plain text after the server's 220 to STARTTLS (sent by the server, or "
                              "injected on the way)"
                            : "no TLS answer: the server spoke plain SMTP (a STARTTLS port? set Security=starttls)";
      } else if (verified != X509_V_OK) {
        why = std::string("certificate verify failed (") + X509_verify_cert_error_string(verified) + ")";
        if (unknownIssuer(verified)) {
          why += context.ownCa ? ": TLSCAFile does not hold the CA that signed the server's certificate"
                               : ": an issuer not trusted here (an internal CA?): set TLSCAFile to its CA certificate";
        }
      } else if (const unsigned long e = ERR_peek_last_error(); e != 0) {
        const char* reason = ERR_reason_error_string(e);
        why = reason != nullptr ? reason : "protocol error";
      } else {
        why = "connection closed by the server";
        lost_ = true;
      }
      ERR_clear_error();
      return false;
    }
    return true;
  } catch (...) {
    why = "no memory";
    return false;
  }
}

const char* TlsStream::version() const noexcept { return SSL_get_version(asSsl(ssl_)); }
const char* TlsStream::cipher() const noexcept { return SSL_CIPHER_get_name(SSL_get_current_cipher(asSsl(ssl_))); }

std::string TlsStream::summary() const {
  SSL* ssl = asSsl(ssl_);
  if (ssl == nullptr) return {};
  std::string text = std::string("TLS started: ") + version() + ", " + cipher();
  if (SSL_session_reused(ssl) != 0) text += ", session resumed";
  return text;
}

void TlsStream::shutdown() noexcept {
  if (ssl_ != nullptr) SSL_shutdown(asSsl(ssl_));
  ERR_clear_error();
}

int TlsStream::send(iovec* iov, int count, Millis stall) noexcept {
  // Pieces go out gathered in records of up to 16 KiB: one record per command line, not one
  // per piece (a server may read a line end that comes in a record of its own as a new line).
  constexpr std::size_t kRecord = 16384;
  char gathered[kRecord];
  std::size_t used = 0;
  const auto write = [&](const char* p, std::size_t left) {
    while (left > 0) {
      std::size_t written = 0;
      const int rc = SSL_write_ex(asSsl(ssl_), p, left, &written);
      if (rc == 1) {
        p += written;
        left -= written;
      } else if (!await(rc, Clock::now() + stall)) {
        ERR_clear_error();
        return false;
      }
    }
    return true;
  };
  for (int i = 0; i < count; ++i) {
    const char* p = static_cast<const char*>(iov[i].iov_base);
    const std::size_t n = iov[i].iov_len;
    if (used + n > kRecord) {
      if (!write(gathered, used)) return SMTP_TCPIP_ERROR;
      used = 0;
    }
    if (n >= kRecord) {
      if (!write(p, n)) return SMTP_TCPIP_ERROR;
    } else {
      std::memcpy(gathered + used, p, n);
      used += n;
    }
  }
  return used > 0 && !write(gathered, used) ? SMTP_TCPIP_ERROR : 0;
}

long TlsStream::receive(char* buffer, std::size_t size, Millis left) noexcept {
  const auto deadline = Clock::now() + left;
  // Nothing buffered: the socket is waited for before it is read, as a reply is seldom there
  // the moment its command went out (a receive would only fail with EAGAIN first).
  if (!SSL_has_pending(asSsl(ssl_)) && !waitReadable(fd_, left)) {
    timedOut_ = true;
    noteRefusal();
    return -1;
  }
  for (;;) {
    std::size_t got = 0;
    const int rc = SSL_read_ex(asSsl(ssl_), buffer, size, &got);
    if (rc == 1) {
      gotData_ = true;
      return static_cast<long>(got);
    }
    const bool closed = SSL_get_error(asSsl(ssl_), rc) == SSL_ERROR_ZERO_RETURN;
    if (closed || !await(rc, deadline)) {
      noteRefusal();
      ERR_clear_error();
      return closed ? 0 : -1;
    }
  }
}

void TlsStream::noteRefusal() noexcept {
  if (gotData_ || !refusal_.empty() || timedOut_) return;
  const unsigned long e = ERR_peek_last_error();
  const char* reason = e != 0 ? ERR_reason_error_string(e) : nullptr;
  try {
    if (reason != nullptr) {
      refusal_ = reason;
    } else if (certificateAsked_) {
      refusal_ = "the server asked for a client certificate and closed the connection (set TLSClientCert)";
    }
  } catch (...) {  // no memory: the plain text of a lost connection stays
  }
}

long TlsStream::receiveReady(char* buffer, std::size_t size) noexcept {
  std::size_t got = 0;
  // Only what OpenSSL holds already: with nothing there, reading on would ask the socket.
  if (!SSL_has_pending(asSsl(ssl_))) return 0;
  if (SSL_read_ex(asSsl(ssl_), buffer, size, &got) == 1) return static_cast<long>(got);
  ERR_clear_error();
  return 0;
}

bool TlsStream::quiet() noexcept {
  SSL* ssl = asSsl(ssl_);
  if (SSL_pending(ssl) > 0) return false;
  if (!SSL_has_pending(ssl) && !readableNow(fd_)) return true;
  // Records arrived: a session ticket leaves the stream quiet, data or a close does not.
  char byte;
  std::size_t got = 0;
  const int result = SSL_read_ex(ssl, &byte, 1, &got);
  const int error = result == 1 ? SSL_ERROR_NONE : SSL_get_error(ssl, result);
  ERR_clear_error();
  return result != 1 && (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE);
}

}  // namespace smtp
