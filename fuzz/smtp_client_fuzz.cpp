// Fuzz target: the SMTP client's whole dialogue against whatever a server may send. The input
// is the server's byte stream, cut into replies; a peer thread answers each command the client
// sends over a socketpair with the next one. Either the plain HELO dialogue (SmtpSendMessage),
// or the node's: EHLO, AUTH over TLS, PIPELINING, and two mails over one kept connection. A
// model of each dialogue predicts the outcome. The same bytes also go through the EHLO parser, and
// each reply through the decoder of a bearer token's 334 challenge.
#include <arpa/inet.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "SimpleSMTP/smtp_connection.h"
#include "SimpleSMTP/smtp_internal.h"
#include "SimpleSMTP/smtp_submit.h"
#include "test_text.h"

namespace {

constexpr std::size_t kMaxStream = 48 * 1024;  // fits the socket buffers set below
constexpr int kBuffer = 256 * 1024;
constexpr std::string_view kUser = "fuzz-user", kPassword = "fuzz-secret-pw";
const std::string kLost = "Error during communication";

using testsupport::check;

// What a challenge's status may hold once it is in a text.
constexpr const char* kStatusCharacters = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-.";

// The server's stream cut into replies the way SMTP defines them: lines up to LF, a reply
// going on while its lines read "ddd-". A reply the stream ends inside is not complete.
std::vector<std::string> modelReplies(std::string_view stream) {
  std::vector<std::string> replies;
  std::string current;
  for (std::size_t p = 0, lf; (lf = stream.find('\n', p)) != std::string_view::npos; p = lf + 1) {
    const std::string_view line = stream.substr(p, lf - p);
    current += stream.substr(p, lf + 1 - p);
    const auto digit = [&](int i) { return line[i] >= '0' && line[i] <= '9'; };
    if (line.size() >= 4 && digit(0) && digit(1) && digit(2) && line[3] == '-') continue;
    replies.push_back(std::move(current));
    current.clear();
  }
  return replies;
}

// The client says where and why after its fixed texts for a missing greeting or connection;
// the model knows only the fixed text.
bool sameText(const std::string& got, const std::string& expected) {
  const bool fixed = expected == "Unknown TCP/IP error" || expected == "TCP/IP connection failed";
  return got == expected || (fixed && got.starts_with(expected + ": "));
}

bool control(char c) { return (static_cast<unsigned char>(c) < 32 && c != '\t') || c == 127; }

// A reply as the reader hands it on: what fits the buffer, control bytes but TAB, CR and LF
// as blanks.
std::string asRead(std::string_view reply) {
  std::string out(reply.substr(0, smtp::kReplyBufferSize - 1));
  for (char& c : out) c = control(c) && c != '\r' && c != '\n' ? ' ' : c;
  return out;
}

// A text as handed out: line ends gone, lines joined by one blank, C1 controls (UTF-8) blanks.
std::string oneLine(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' || text[i] == '\n') {
      while (i + 1 < text.size() && (text[i + 1] == '\r' || text[i + 1] == '\n')) ++i;
      if (i + 1 < text.size()) out += ' ';
    } else if (static_cast<unsigned char>(text[i]) == 0xc2 && i + 1 < text.size() &&
               static_cast<unsigned char>(text[i + 1]) >= 0x80 && static_cast<unsigned char>(text[i + 1]) <= 0x9f) {
      out += ' ';
      ++i;
    } else {
      out += control(text[i]) ? ' ' : text[i];
    }
  }
  return out;
}

bool startsWith(const std::string& reply, const char* code) { return reply.compare(0, 3, code) == 0; }

// One mail's outcome.
struct Outcome {
  int code = 0;
  std::string text;
};

// The client's dialogue, step by step, against the replies: the peer answers each command with
// the next reply, and once they run out with the incomplete rest and the end of the stream.
class Model {
 public:
  Model(const std::vector<std::string>& replies, std::size_t recipients) : replies_(replies), recipients_(recipients) {}
  std::size_t commands = 0;  // lines outside the mail data, plus one for the mail data

  // The plain dialogue: greeting, HELO, MAIL, RCPT..., DATA, the data, QUIT.
  Outcome plain() {
    std::vector<int> steps = {SMTP_PROTO_HELO, SMTP_PROTO_MAIL};
    steps.insert(steps.end(), recipients_, SMTP_PROTO_RCPT);
    steps.insert(steps.end(), {SMTP_PROTO_DATA, SMTP_PROTO_END_OF_DATA});
    if (Outcome o; !greeting(o)) return o;
    for (const int step : steps) {
      const std::string* r = command();
      if (r == nullptr) return {SMTP_UNLISTED_REPLY, kLost};
      if (const int rc = judge(step, *r); rc != 0) return {rc, oneLine(asRead(*r))};
    }
    command();  // QUIT: its reply does not matter
    return {};
  }

  // The node's dialogue with kept connections: the first mail over a new connection (EHLO,
  // AUTH when `login`), the second over the same one if the first left it kept, then QUIT when
  // the pool goes. Outcomes of the mails sent; a second mail that finds the connection dead goes
  // to a new connection, which nobody accepts.
  std::vector<Outcome> kept(bool login) {
    std::vector<Outcome> outcomes(1);
    Outcome& first = outcomes[0];
    if (!open(login, first)) return outcomes;
    After after = transaction(first);
    if (first.code != 0 && !(after == After::Synced && reset())) return outcomes;
    Outcome& second = outcomes.emplace_back();
    after = transaction(second);
    if (second.code != 0 && after == After::Dead) second = {SMTP_TCPIP_CONNECTION_FAILED, "TCP/IP connection failed"};
    if (second.code == 0 || (after == After::Synced && reset())) command();  // QUIT when the pool goes
    return outcomes;
  }

 private:
  enum class After { Synced, Dead, Broken };

  const std::string* command() {
    ++commands;
    return reply();
  }
  const std::string* reply() { return next_ < replies_.size() ? &replies_[next_++] : (++next_, nullptr); }
  static int judge(int step, const std::string& reply) { return smtp::judge(step, asRead(reply).c_str()); }

  bool greeting(Outcome& o) {
    const std::string* r = reply();
    const int rc = r == nullptr ? SMTP_UNLISTED_REPLY : judge(SMTP_PROTO_GREETING, *r);
    if (rc == 0) return true;
    o = {rc, r != nullptr && smtp::hasReplyCode(asRead(*r).c_str()) ? oneLine(asRead(*r)) : "Unknown TCP/IP error"};
    return false;
  }
  // A command's reply judged: false with the outcome set when it is not accepted.
  bool step(int index, Outcome& o, After* after = nullptr, const char* expected = nullptr) {
    const std::string* r = command();
    const int rc = r == nullptr ? SMTP_UNLISTED_REPLY : judge(index, *r);
    if (after != nullptr) *after = r == nullptr || startsWith(asRead(*r), "421") ? After::Dead : After::Synced;
    if (rc != 0) o = {rc, r == nullptr ? kLost : oneLine(asRead(*r))};
    else if (expected != nullptr && !startsWith(asRead(*r), expected)) o = {SMTP_UNLISTED_REPLY, oneLine(asRead(*r))};
    else return true;
    return false;
  }
  bool open(bool login, Outcome& o) {
    if (!greeting(o) || !step(smtp::kStepEhlo, o)) return false;
    offered_ = smtp::parseExtensions(asRead(replies_[next_ - 1]));
    if (!login) return true;
    if (offered_.authPlain) return step(smtp::kStepAuth, o, nullptr, "235");
    if (!offered_.authLogin) {
      o = {SMTP_AUTH_NOT_OFFERED, SMTPErrorString(SMTP_AUTH_NOT_OFFERED)};
      return false;
    }
    return step(smtp::kStepAuth, o, nullptr, "334") && step(smtp::kStepAuth, o, nullptr, "334") &&
           step(smtp::kStepAuth, o, nullptr, "235");
  }
  bool reset() {
    const std::string* r = command();
    return r != nullptr && startsWith(asRead(*r), "250");
  }
  After transaction(Outcome& o) {
    After after = After::Synced;
    if (offered_.pipelining) {
      if (!batch(o, after)) return after;
    } else {
      if (!step(SMTP_PROTO_MAIL, o, &after)) return after;
      for (std::size_t i = 0; i < recipients_; ++i)
        if (!step(SMTP_PROTO_RCPT, o, &after)) return after;
      if (!step(SMTP_PROTO_DATA, o, &after)) return after;
    }
    const std::string* r = command();  // the mail data and its reply
    if (r == nullptr) {
      o = {SMTP_UNLISTED_REPLY, kLost};
      return After::Broken;
    }
    if (const int rc = judge(SMTP_PROTO_END_OF_DATA, *r); rc != 0) o = {rc, oneLine(asRead(*r))};
    return After::Synced;
  }
  // RFC 2920's batch: every command out at once, the replies judged in order.
  bool batch(Outcome& o, After& after) {
    std::vector<int> steps = {SMTP_PROTO_MAIL};
    steps.insert(steps.end(), recipients_, SMTP_PROTO_RCPT);
    steps.push_back(SMTP_PROTO_DATA);
    std::vector<const std::string*> answers;
    for (std::size_t i = 0; i < steps.size(); ++i) answers.push_back(command());
    bool broken = false;
    Outcome refusal;
    for (std::size_t i = 0; i < steps.size(); ++i) {
      if (answers[i] == nullptr) {
        if (refusal.code == 0) {
          o = {SMTP_UNLISTED_REPLY, kLost};
          after = After::Dead;
          return false;
        }
        broken = true;
        break;
      }
      const std::string read = asRead(*answers[i]);
      const char c = read[0];
      if (!smtp::hasReplyCode(read.c_str()) || c < '2' || c > '5' || c == (steps[i] == SMTP_PROTO_DATA ? '2' : '3')) {
        const std::string text = std::string(SMTPErrorString(SMTP_OUT_OF_STEP)) + ": " + read;
        o = {SMTP_OUT_OF_STEP, oneLine(text.substr(0, smtp::kReplyBufferSize - 3))};
        after = After::Dead;
        return false;
      }
      const int rc = judge(steps[i], *answers[i]);
      if (rc != 0 && refusal.code == 0) {
        refusal = {rc, oneLine(read)};
        after = startsWith(read, "421") ? After::Dead : After::Synced;
      }
      if (steps[i] == SMTP_PROTO_DATA && rc == 0 && refusal.code != 0) broken = true;
    }
    if (refusal.code == 0) return true;
    o = refusal;
    if (broken && after == After::Synced) after = After::Broken;
    return false;
  }

  const std::vector<std::string>& replies_;
  std::size_t recipients_;
  std::size_t next_ = 0;
  smtp::Extensions offered_;
};

// The peer's end of the connection: the socket, or TLS over it.
struct Channel {
  int fd;
  SSL* ssl = nullptr;
  void send(std::string_view bytes) const {
    for (long n; !bytes.empty() && (n = ssl ? SSL_write(ssl, bytes.data(), static_cast<int>(bytes.size()))
                                            : ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL)) > 0;)
      bytes.remove_prefix(static_cast<std::size_t>(n));  // stops when the client has gone
  }
  long receive(char* buffer, std::size_t size) const {
    return ssl ? SSL_read(ssl, buffer, static_cast<int>(size)) : ::recv(fd, buffer, size, 0);
  }
  void end() const {
    if (ssl != nullptr) SSL_shutdown(ssl);
    ::shutdown(fd, SHUT_WR);
  }
};

// A throwaway certificate for the peer's TLS (the client does not verify it).
SSL_CTX* serverContext() {
  static SSL_CTX* const context = [] {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
    X509_set_pubkey(cert, key);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("peer"), -1, -1, 0);
    X509_set_issuer_name(cert, X509_get_subject_name(cert));
    X509_sign(cert, key, EVP_sha256());
    SSL_CTX* made = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate(made, cert);
    SSL_CTX_use_PrivateKey(made, key);
    X509_free(cert);
    EVP_PKEY_free(key);
    return made;
  }();
  return context;
}

// What the client wrote: how many commands (lines outside the mail data, plus one for the mail
// data), whether QUIT was one of them, and everything it sent.
struct Seen {
  std::size_t commands = 0;
  bool quit = false;
};

// The server's side: the greeting, then one reply for each command (the mail data counts as
// one once DATA was accepted); when the replies run out, the incomplete rest and the end of
// the stream. Reads up to the client's close.
Seen serve(const Channel& channel, const std::vector<std::string>& replies, std::string_view rest) {
  Seen seen;
  std::string sent;
  std::size_t next = 0, scanned = 0;
  bool inData = false;
  const auto answer = [&]() -> std::string {
    if (next < replies.size()) {
      channel.send(replies[next]);
      return replies[next++];
    }
    if (next++ == replies.size()) {
      channel.send(rest);
      channel.end();
    }
    return {};
  };
  answer();
  char chunk[4096];
  for (long n; (n = channel.receive(chunk, sizeof chunk)) > 0;) {
    sent.append(chunk, static_cast<std::size_t>(n));
    for (std::size_t end; (end = sent.find(inData ? "\r\n.\r\n" : "\r\n", scanned)) != std::string::npos; ++seen.commands) {
      const std::string_view unit = std::string_view(sent).substr(scanned, end - scanned);
      seen.quit = seen.quit || (!inData && unit == "QUIT");
      const bool dataCommand = !inData && unit == "DATA";
      scanned = end + (inData ? 5 : 2);
      const std::string reply = answer();
      inData = dataCommand && SmtpGetRc(SmtpProto[SMTP_PROTO_DATA], reply.c_str()) == 0;
    }
  }
  // Only the mail data may end unfinished (when the stream ended inside it).
  check(inData || scanned == sent.size(), "command without CR LF");
  return seen;
}

// A text never holds a control character but TAB, nor, once the client logged in, the password
// or its base64 forms (alone, and the AUTH PLAIN blob).
void checkClean(std::string_view text, bool login) {
  for (const char c : text) check(!control(c), "control character in a text", text);
  for (const std::string_view secret : {std::string_view(kPassword), std::string_view("ZnV6ei1zZWNyZXQtcHc="),
                                        std::string_view("AGZ1enotdXNlcgBmdXp6LXNlY3JldC1wdw==")})
    check(!login || text.find(secret) == std::string_view::npos, "a secret in a text", text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 1 || size > kMaxStream + 1) return -1;
  // First byte: how many recipients (1 to 4), whether the body needs MIME, whether the node's
  // dialogue runs (EHLO, PIPELINING, kept connection), and whether it logs in over TLS.
  const std::size_t recipients = 1 + (data[0] & 3);
  const bool mime = (data[0] & 4) != 0, node = (data[0] & 8) != 0, login = node && (data[0] & 16) != 0;
  const std::string_view stream(reinterpret_cast<const char*>(data) + 1, size - 1);
  const auto replies = modelReplies(stream);
  std::size_t complete = 0;
  for (const auto& reply : replies) complete += reply.size();
  // What a bearer token's 334 challenge says goes into a failure text: short, plain characters.
  for (const auto& reply : replies) {
    const std::string status = smtp::challengeStatus(reply);
    check(status.size() <= 40 && status.find_first_not_of(kStatusCharacters) == std::string::npos,
          "a challenge status that is not plain", reply);
  }

  // What an EHLO reply offers is only ever read from a keyword line (not the first, which names
  // the server), and an AUTH mechanism only from a line that names AUTH before it.
  const smtp::Extensions offered = smtp::parseExtensions(stream);
  const auto onALine = [&](std::string_view before, std::string_view word) {
    std::string upper(stream);
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (std::size_t p = upper.find('\n'); p != std::string::npos; p = upper.find('\n', p + 1)) {
      const std::string_view line = std::string_view(upper).substr(p + 1, upper.find('\n', p + 1) - p - 1);
      const std::size_t at = line.find(before);
      if (at != std::string_view::npos && line.find(word, at + before.size()) != std::string_view::npos) return true;
    }
    return false;
  };
  check(!offered.authPlain || onALine("AUTH", "PLAIN"), "AUTH PLAIN found where there is none");
  check(!offered.authLogin || onALine("AUTH", "LOGIN"), "AUTH LOGIN found where there is none");
  check(!offered.startTls || onALine("", "STARTTLS"), "STARTTLS found where there is none");
  check(!offered.pipelining || onALine("", "PIPELINING"), "PIPELINING found where there is none");

  int pair[2];
  check(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0, "socketpair");
  for (const int fd : pair)
    for (const int option : {SO_SNDBUF, SO_RCVBUF}) ::setsockopt(fd, SOL_SOCKET, option, &kBuffer, sizeof kBuffer);
  ::fcntl(pair[0], F_SETFL, O_NONBLOCK);
  Seen seen;
  std::thread peer([&] {
    // OpenSSL writes with write(2): a client gone must not end the process (only this thread
    // blocks SIGPIPE, so the client's own sends are still held to raising none).
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    Channel channel{pair[1]};
    if (login) {
      channel.ssl = SSL_new(serverContext());
      SSL_set_fd(channel.ssl, pair[1]);
      if (SSL_accept(channel.ssl) != 1) channel.end();  // the client gave up: nothing to serve
    }
    if (!login || SSL_is_init_finished(channel.ssl)) seen = serve(channel, replies, stream.substr(complete));
    if (channel.ssl != nullptr) SSL_free(channel.ssl);
  });

  std::string to = "rcpt0@example.com";
  for (std::size_t i = 1; i < recipients; ++i) to += "; rcpt" + std::to_string(i) + "@example.com";
  const char* const body = mime ? "caf\xc3\xa9\n.\n" : "line\n.\n";
  SmtpSession session{};
  std::strcpy(session.localHostName, "client.example.com");
  // Generous: a bound runs out only when a peer thread stalls, never by the input's doing.
  const smtp::ScopedTimeouts bounded(smtp::Millis{5000});
  smtp::setNextSocketForTesting(pair[0]);
  Model model(replies, recipients);
  std::vector<Outcome> expected, got;
  if (!node) {
    const char* text = nullptr;
    const int code = SmtpSendMessage(&session, "Sender <sender@example.com>", to.c_str(), "", "", "Subject",
                                     "07 Mar 2001 09:05:03 GMT", "", body, 3, &text);
    check(text != nullptr && ::strnlen(text, smtp::kReplyBufferSize) < smtp::kReplyBufferSize, "text not terminated");
    got.push_back({code, code != 0 ? text : ""});
    expected.push_back(model.plain());
  } else {
    // A second connection would go to a loopback port nobody listens on.
    session.serverAddressCount = 1;
    auto& address = reinterpret_cast<sockaddr_in&>(session.serverAddresses[0]);
    address = {AF_INET, htons(1), {htonl(INADDR_LOOPBACK)}, {}};
    static const std::unique_ptr<smtp::TlsClient> tls = [] {
      std::string why;
      return smtp::TlsClient::create(false, "", why);
    }();
    smtp::SubmitOptions options;
    options.security = login ? smtp::Security::Tls : smtp::Security::Plain;
    options.tls = tls.get();
    if (login) options.user = kUser, options.password = kPassword;
    {
      smtp::ConnectionPool pool(100, std::chrono::seconds(30));
      options.pool = &pool;
      expected = model.kept(login);
      for (std::size_t mail = 0; mail < expected.size(); ++mail) {
        const smtp::MailRequest request{.serverName = "localhost", .from = "Sender <sender@example.com>", .to = to,
                                        .subject = "Subject", .date = "07 Mar 2001 09:05:03 GMT", .body = body};
        const smtp::Outcome o = smtp::sendMessage(&session, options, request);
        got.push_back({o.code, o.code != 0 ? o.text : ""});
      }
    }  // the pool goes: QUIT on what it kept
  }
  peer.join();
  ::close(pair[1]);

  check(seen.commands == model.commands, "commands", std::to_string(seen.commands) + " expected " + std::to_string(model.commands));
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const std::string which = "mail " + std::to_string(i + 1) + ": ";
    check(got[i].code == expected[i].code, "code",
          which + std::to_string(got[i].code) + " expected " + std::to_string(expected[i].code) + ": " + got[i].text);
    checkClean(got[i].text, login);
    // Texts after AUTH may have secrets starred out: those are checked for what they lack.
    check(login || sameText(got[i].text, expected[i].text), "text", which + got[i].text + " expected " + expected[i].text);
  }
  // With kept connections QUIT goes only when the pool does; the command count tells.
  check(node || seen.quit == (got[0].code == 0), "QUIT sent after a failure, or missing after success");
  return 0;
}
