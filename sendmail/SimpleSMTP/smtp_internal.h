// The SMTP client's hidden C++ layer: per-step limits, the socket primitives with their bounds,
// the reply reader, and the composition helpers shared by the exported line writers and the
// dialogue. Nothing here is exported; the C functions of smtp.h are thin edges over it
// (smtp_c.cpp), and nothing here calls them.
#ifndef SENDMAIL_SIMPLESMTP_SMTP_INTERNAL_H
#define SENDMAIL_SIMPLESMTP_SMTP_INTERNAL_H

#include <sys/uio.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "smtp.h"
#include "smtp_request.h"
#include "smtp_submit.h"

namespace smtp {

using Millis = std::chrono::milliseconds;

// Size of the reply buffer a caller hands to the reader (the failure text lives in it).
inline constexpr std::size_t kReplyBufferSize = 10000;

// Steps beyond SmtpProto's, for the extended dialogue only: their entries live in a hidden
// table of the same shape (smtp_proto.cpp), so that the exported table keeps its ten rows.
enum : int {
  kStepEhlo = SMTP_PROTO_STEPS,
  kStepStartTls,
  kStepAuth,
  kStepRset,
  kSteps  // every step, SmtpProto's and the hidden ones
};
// The entry of any step, exported or hidden; null for an index outside both tables.
const SmtpProtoEntry* protoEntry(int step) noexcept;
// The code the entry gives a reply (SmtpGetRc): the error of the first listed code the reply
// starts with, -1 for none, a short reply or a null one.
int replyCode(const SmtpProtoEntry& entry, const char* reply) noexcept;
// replyCode against the entry of any step; -1 for an unknown step.
int judge(int step, const char* reply) noexcept;

// What each step needs beside its command and reply codes: how long to wait for the reply,
// and how long a write may stall before the connection counts as lost.
struct StepLimits {
  Millis reply;
  Millis writeStall;
};
extern const StepLimits kStepLimits[kSteps];
inline constexpr Millis kConnectTimeout{30'000};
// The longest a single receive blocks in the kernel; a longer reply wait takes more slices
// (then poll). Being the shortest step bound, it is set once per connection, not once per step.
inline constexpr Millis kReceiveSlice{30'000};

// Effective bounds: the table's values unless a test has shortened them.
Millis replyTimeout(int step) noexcept;
Millis writeStallTimeout(int step) noexcept;
Millis connectTimeout() noexcept;

// One connection's bounds: the effective ones, or `fixed` for every wait when it is set (the
// node's TimeoutSeconds).
struct Bounds {
  Millis fixed{0};
  Millis reply(int step) const noexcept { return fixed.count() > 0 ? fixed : replyTimeout(step); }
  Millis stall(int step) const noexcept { return fixed.count() > 0 ? fixed : writeStallTimeout(step); }
  Millis connect() const noexcept { return fixed.count() > 0 ? fixed : connectTimeout(); }
};

// Test hook (not exported): while set to a positive value, every reply wait, write stall and
// connect uses it instead of the table. Zero restores the defaults.
void setTimeoutsForTesting(Millis all) noexcept;
struct ScopedTimeouts {
  explicit ScopedTimeouts(Millis all) noexcept { setTimeoutsForTesting(all); }
  ~ScopedTimeouts() { setTimeoutsForTesting(Millis{0}); }
  ScopedTimeouts(const ScopedTimeouts&) = delete;
  ScopedTimeouts& operator=(const ScopedTimeouts&) = delete;
};

// The calling thread's reply buffer (kReplyBufferSize bytes): the text SendEmailMessage hands out
// points into it and stays valid until the same thread's next call.
char* threadReplyBuffer() noexcept;

// ---- session (smtp_session.cpp) ----

// SmtpInit in two halves. newSession: the record with the local host name (`hostName`, or the
// system's, looked up now, when it is empty) and the port, no address yet (null with *error
// set: SMTP_TCPIP_BAD_PORT for port 0, or a resource failure). resolveServer: the name's
// addresses into it, 0 or SMTP_TCPIP_HOST_UNKNOWN.
SmtpSession* newSession(uint16_t port, int* error, std::string_view hostName = {}) noexcept;
int resolveServer(SmtpSession& session, std::string_view serverName) noexcept;
// Both halves (SmtpInit): the record from malloc, or null with *error set.
SmtpSession* openSession(std::string_view serverName, uint16_t port, int* error,
                         std::string_view hostName = {}) noexcept;
// The system's host name as a session holds it (at most 255 bytes): a node asks once.
std::string localHostName();

// ---- transport (tcp.cpp) ----

// Connects a blocking stream socket (TCP_NODELAY) to one of `count` addresses (sockaddr_in or
// sockaddr_in6, by family), trying them in turn within `bound` altogether: each attempt gets
// an equal share of what is left. Returns 0, SMTP_TCPIP_NO_MORE_SOCKETS or
// SMTP_TCPIP_CONNECTION_FAILED; *fd is -1 on failure, and *error (when given) the system's
// reason for the last attempt (ECONNREFUSED, ...; EINPROGRESS or 0 when the bound ran out).
int connectSocket(int* fd, const sockaddr_in6* addresses, int count, Millis bound, int* error = nullptr) noexcept;
int connectSocket(int* fd, const sockaddr_in& address) noexcept;
// Connects to the session's server within `bound`: its address list when it has one (at most
// SMTP_MAX_SERVER_ADDRESSES of it), else its one IPv4 address. Returns as connectSocket does.
int connectSession(int* fd, const SmtpSession& session, Millis bound, int* error = nullptr) noexcept;
// True when the socket, connected to `peer`, is the peer itself (a simultaneous open on a
// loopback port): its own address and port are the ones it connected to.
bool connectedToItself(int fd, const sockaddr* peer) noexcept;
inline bool connectedToItself(int fd, const sockaddr_in& peer) noexcept {
  return connectedToItself(fd, reinterpret_cast<const sockaddr*>(&peer));
}

// Test hook (not exported): the calling thread's next connectSocket hands out `fd` (a connected,
// non-blocking stream socket the caller made, for instance one end of a socketpair) instead of
// connecting; the dialogue then owns and closes it. -1 withdraws it.
void setNextSocketForTesting(int fd) noexcept;

// Writes every byte of the vector, waiting at most `stall` for the socket to take more.
// Returns 0, or SMTP_TCPIP_ERROR after printing the send diagnostic.
int sendVector(int fd, iovec* iov, int count, Millis stall) noexcept;
int sendBytes(int fd, std::string_view bytes, Millis stall) noexcept;
// `line` and CR LF in one write, stalls bounded as the greeting's (SmtpTcpSend).
int sendLine(int fd, std::string_view line) noexcept;
// Closes the socket: 0, or SMTP_TCPIP_ERROR when the close failed (TcpClose).
int closeSocket(int fd) noexcept;
// One receive into `buffer` (`size` bytes, zeroed first, always NUL-terminated) within the
// greeting's bound: 0 when bytes came, SMTP_TCPIP_ERROR on silence, the end of the stream, a
// failure, a negative socket or a buffer under two bytes (TcpRecv).
int receiveText(int fd, char* buffer, std::size_t size) noexcept;

// True once `fd` has something to read (or has failed) within `timeout`; waitWritable alike.
bool waitReadable(int fd, Millis timeout) noexcept;
// The same checked without waiting: true when bytes, the end of the stream or a failure is there.
bool readableNow(int fd) noexcept;
bool waitWritable(int fd, Millis timeout) noexcept;

// Sets SO_RCVTIMEO or SO_SNDTIMEO to `bound` (at least 1 ms). False when the socket refused.
bool setWaitBound(int fd, int option, Millis bound) noexcept;

// A byte stream to the server: the plain socket, or TLS over it (smtp_tls.cpp).
class Stream {
 public:
  virtual ~Stream() = default;
  // Writes every byte of the vector, a stall bounded by `stall`: 0 or SMTP_TCPIP_ERROR.
  virtual int send(iovec* iov, int count, Millis stall) noexcept = 0;
  // Next bytes, waiting at most `left`: the count, 0 at the end of the stream, -1 on failure
  // or silence.
  virtual long receive(char* buffer, std::size_t size, Millis left) noexcept = 0;
  // What the stream has already taken in and not handed out (TLS data of a record it read),
  // without a system call: the count, 0 when nothing.
  virtual long receiveReady(char* buffer, std::size_t size) noexcept = 0;
  // True when nothing has arrived and the peer has not closed, checked without waiting: a
  // kept connection is used again only then.
  virtual bool quiet() noexcept = 0;
};

// The plain socket; it does not own the descriptor. One receive is one system call: the
// kernel keeps the bound (SO_RCVTIMEO, in slices), poll only for what a slice leaves.
class PlainStream final : public Stream {
 public:
  explicit PlainStream(int fd) noexcept : fd_(fd) {}
  int send(iovec* iov, int count, Millis stall) noexcept override;
  long receive(char* buffer, std::size_t size, Millis left) noexcept override;
  long receiveReady(char* buffer, std::size_t size) noexcept override;
  bool quiet() noexcept override;

 private:
  int fd_;
  Millis armed_{-1};  // the receive bound the socket holds, -1 while unknown
};

// ---- TLS (smtp_tls.cpp) ----

class TlsClient;

// TLS over the connected socket, with the node's context. Reads and writes never block in
// the kernel and never raise SIGPIPE; every wait goes through poll within the caller's bound.
class TlsStream final : public Stream {
 public:
  // `server` ("host:port") is the key the sessions to resume are kept under.
  TlsStream(int fd, TlsClient& client, std::string server) noexcept;
  ~TlsStream() override;
  TlsStream(const TlsStream&) = delete;
  TlsStream& operator=(const TlsStream&) = delete;
  // The handshake within `bound`, the server checked against `host` (a name, also sent as SNI,
  // or an address literal), resuming the latest session of the same server. False with `why` set.
  // `afterStartTls` tells that the server accepted STARTTLS: plain text then is no sign of a
  // port that wants STARTTLS but of bytes that never came from a TLS server.
  bool handshake(std::string_view host, Millis bound, bool afterStartTls, std::string& why) noexcept;
  // Says goodbye (close_notify) without waiting for the answer.
  void shutdown() noexcept;
  // After a failed handshake: whether it failed for want of an answer (silence, a close).
  bool lost() const noexcept { return lost_; }
  // The protocol and cipher agreed (OpenSSL's constant names).
  const char* version() const noexcept;
  const char* cipher() const noexcept;
  // The protocol version and cipher once the handshake is done, and whether it was resumed.
  std::string summary() const;
  int send(iovec* iov, int count, Millis stall) noexcept override;
  long receive(char* buffer, std::size_t size, Millis left) noexcept override;
  long receiveReady(char* buffer, std::size_t size) noexcept override;
  // Also true when only TLS records without data (a session ticket) arrived.
  bool quiet() noexcept override;
  // Why the server ended TLS before its first data (with TLS 1.3 a refused client certificate
  // shows only then: "tlsv13 alert certificate required", or a close after it asked for a
  // certificate the node has none of), or empty.
  const std::string& refusedBeforeData() const noexcept { return refusal_; }

  struct Io;  // the socket glue under OpenSSL

 private:
  // Waits for what the last call of OpenSSL needs; false when it failed or the time is up.
  bool await(int result, std::chrono::steady_clock::time_point deadline) noexcept;
  // Keeps why the server ended TLS before any data (see refusedBeforeData).
  void noteRefusal() noexcept;

  void* ssl_ = nullptr;  // SSL*
  int fd_;
  TlsClient& client_;
  std::string server_;
  char first_[8] = {};  // the first bytes the server sent during the handshake
  std::size_t firstLength_ = 0;
  bool timedOut_ = false;
  bool lost_ = false;
  bool gotData_ = false;
  bool certificateAsked_ = false;
  std::string refusal_;
};

// ---- replies (smtp_reply.cpp) ----

// What no reply may show once credentials have gone out on a connection: the password and its
// base64 forms (alone, as LOGIN sends it, and the PLAIN blob), as the reader hands them on. A
// password that cannot be found safely (under 4 octets, or with control characters, which the
// reader changes) sets `withhold`: every reply then keeps only its code.
struct Secrets {
  std::vector<std::string> forms;
  bool withhold = false;
  Secrets() = default;
  ~Secrets();  // wiped
  Secrets(const Secrets&) = delete;
  Secrets& operator=(const Secrets&) = delete;
};

// Reads whole replies from one stream. For a connection's dialogue (`strict`), bytes that
// came with a reply after its last line are kept only until the next command goes out: a
// reply is what arrives after its command. Otherwise (the exported line writers, handed a
// bare socket) they are read as the next reply.
// A connection's trace, made only when the options carry a sink (attribute Trace): every
// command line sent and every reply line read is one entry, and notes tell what is not a line
// (TLS started, the mail data's size). An entry is one line without control characters (TAB
// included); the AUTH command shows its mechanism and "****", and each line sent while the
// server asks for more credentials (334) shows as "****". Replies come as the reader keeps them,
// so a secret a server echoes is starred out already.
class Tracer {
 public:
  // `server` as "host:port"; the connection takes the process's next number.
  Tracer(TraceSink sink, std::string server) noexcept;
  // One command line, or a batch of CR LF-ended ones.
  void sent(std::string_view lines) noexcept;
  // A whole reply as the reader kept it.
  void received(const char* reply) noexcept;
  void note(std::string_view text) noexcept;

 private:
  void emit(TraceKind kind, std::string_view line) noexcept;

  TraceSink sink_;
  std::string server_;
  unsigned long number_;
  bool credentials_ = false;  // AUTH under way: what is sent holds credentials
};

class ReplyReader {
 public:
  explicit ReplyReader(Stream& stream, Bounds bounds = {}, bool strict = false) noexcept
      : stream_(&stream), bounds_(bounds), strict_(strict) {}
  // Reads one complete reply (every line up to the one that is not "ddd-") into `buffer`, which
  // holds `size` bytes and is always NUL-terminated: what does not fit is read and dropped, and
  // control bytes other than TAB, CR and LF (NUL, ESC...) become blanks. Once `conceal` is set,
  // every secret form is starred out of it (its lines joined, so that a form split over two lines
  // is found too). Returns false when the connection ended, failed or stayed silent past
  // `timeout` before the reply was complete; the buffer is then empty.
  bool read(char* buffer, std::size_t size, Millis timeout) noexcept;
  // Drops what is left of earlier replies before a command goes out (strict readers only): what
  // this reader and its stream hold, at most one reply buffer's worth, without a system call.
  // A stray reply came with the reply before it, and is held; one that comes later is read
  // in place of the next reply, whose step then judges it (a pipelined batch checks that no
  // reply is left over).
  void dropStray() noexcept;
  // True when more has arrived than the replies read so far (bytes, or the end of the stream),
  // checked without waiting.
  bool more() noexcept { return begin_ != end_ || !stream_->quiet(); }
  // Every reply read from now on is scrubbed of these (they outlive the reader).
  void conceal(const Secrets* secrets) noexcept { secrets_ = secrets; }
  // Reads on another stream from now on (the same socket once TLS starts); nothing carries over.
  void switchTo(Stream& stream) noexcept;
  Stream& stream() noexcept { return *stream_; }
  const Bounds& bounds() const noexcept { return bounds_; }
  // Every reply read from now on, and every command `command` sends, goes to the trace too.
  void trace(Tracer* tracer) noexcept { tracer_ = tracer; }
  Tracer* tracer() const noexcept { return tracer_; }

  // How the last read that found no complete reply ended: the time ran out with the connection
  // open (else the peer closed); and the first bytes it got, as they came (a TLS record starts
  // 0x14..0x17, then 0x03). What tells a server that wants TLS from one that closed.
  struct Ending {
    bool silent = false;
    std::size_t got = 0;  // of `first`
    unsigned char first[2] = {};
  };
  const Ending& ending() const noexcept { return ending_; }

 private:
  Stream* stream_;
  Bounds bounds_;
  bool strict_;
  const Secrets* secrets_ = nullptr;
  Tracer* tracer_ = nullptr;
  Ending ending_;
  std::array<char, 4096> in_{};
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
};

// command sends `line` + CR LF (stray bytes dropped first) and reads the reply into `reply`,
// judged against the step's entry; awaitReply reads and judges a reply without sending (the
// greeting, the end of the mail data, the replies to a pipelined batch). Both return the
// verdict, or kLost when the write failed or no complete reply came.
inline constexpr int kLost = SMTP_UNLISTED_REPLY;
struct Exchange {
  int code;   // 0 accepted, a refusal code, or -1
  bool lost;  // nothing usable came back
};
Exchange command(ReplyReader& reader, int step, std::string_view line, char* reply) noexcept;
Exchange awaitReply(ReplyReader& reader, int step, char* reply) noexcept;

// What an EHLO reply offers, of what the client uses.
struct Extensions {
  bool startTls = false;
  bool smtpUtf8 = false;
  bool authPlain = false;
  bool authLogin = false;
  bool authXOAuth2 = false;
  bool authOAuthBearer = false;  // RFC 7628
  bool pipelining = false;  // RFC 2920
};
// Reads the keyword lines of an EHLO reply (case-insensitive; the first line is the greeting).
Extensions parseExtensions(std::string_view reply) noexcept;

// True when the reply starts with a reply code: three digits, then a blank, "-" or the line end.
bool hasReplyCode(const char* reply) noexcept;
// Makes a reply, as the reader left it, one line of text to hand out: its line ends go, the
// lines of a multi-line reply are joined by one blank, and C1 control characters (UTF-8) become
// blanks, so that a failure text holds no control character but TAB.
void makeOneLine(char* text) noexcept;

// ---- composition (smtp_compose.cpp, smtp_recipients.cpp, smtp_priority.cpp) ----

// Appends the step's command with its "%s" replaced by `argument`.
void appendCommand(std::string& out, int step, std::string_view argument);

// RFC 5322's hard limit of a header line, CR LF not counted.
inline constexpr std::size_t kMaxLine = 998;

bool hasLineBreak(std::string_view text) noexcept;
// A text that may only fill one header line: CR and LF become blanks (in `scratch` if any).
std::string_view oneLine(std::string_view text, std::string& scratch);
// An unstructured field such as Subject: kept as written when it is ASCII, does not look
// encoded and fits one line or folds exactly; otherwise RFC 2047 encoded-words, which keep
// every blank.
void appendTextField(std::string& out, std::string_view name, std::string_view value);
bool isAscii(std::string_view text) noexcept;
// Whether folding at blanks cannot keep every line within RFC 5322's 998 bytes.
bool hasUnfoldableRun(std::string_view text) noexcept;
std::string_view trimBlanks(std::string_view text) noexcept;

// One sender or recipient entry, split at its bracketed part: the display name before the
// first "<" outside quotes, the address inside the brackets, and what follows the ">". An entry
// without "<" is all address. Blanks around each part are trimmed.
struct EntryParts {
  std::string_view name;
  std::string_view address;
  std::string_view rest;  // after the ">"; must be empty in an entry the node sends
  bool bracketed = false;
  bool closed = true;  // false when a "<" or a quote is never closed
};
EntryParts splitEntry(std::string_view entry) noexcept;

// The address the envelope uses for a sender or recipient entry.
inline std::string_view envelopeAddress(std::string_view entry) noexcept { return splitEntry(entry).address; }

// RFC 5321's limit of a reverse- or forward-path, brackets included.
inline constexpr std::size_t kMaxPath = 256;

// Whether the entry can go into MAIL FROM or RCPT TO as one address and nothing else: no line
// break, nothing but blanks after its ">", no "<", ">" or blank outside quotes in its address,
// every quote closed, and a path within kMaxPath.
bool sendableEntry(std::string_view entry) noexcept;
// Whether the sender and every entry of the three lists are sendable.
bool sendableEnvelope(std::string_view from, std::string_view to, std::string_view cc,
                      std::string_view bcc) noexcept;

// Where the entry that starts at `from` ends: the first ";" outside quotes and angle brackets,
// or the end of the list.
std::size_t entryEnd(std::string_view list, std::size_t from) noexcept;

// Calls `visit(entry)` for each entry of a ";"-separated recipient list, blanks trimmed. A ";"
// inside a quoted display name or inside angle brackets does not split, and empty entries
// (";a@x", "a@x;;b@x", "a@x; ") are skipped. Stops when `visit` returns false.
template <typename Visit>
bool forEachEntry(std::string_view list, Visit&& visit) {
  for (std::size_t p = 0; p < list.size();) {
    const std::size_t stop = entryEnd(list, p);
    const std::string_view entry = trimBlanks(list.substr(p, stop - p));
    if (!entry.empty() && !visit(entry)) return false;
    p = stop + 1;
  }
  return true;
}

// Folds a header field while it is written: a token that would carry the line past the width
// (RFC 2047's 76 characters once the line holds an encoded-word) starts a continuation line
// instead (CR LF and the separator's blank).
class FieldFolder {
 public:
  static constexpr std::size_t kWidth = 78;
  static constexpr std::size_t kEncodedWidth = 76;
  FieldFolder(std::string& out, std::string_view name);
  // `separator` is "" (first token), " " or ", "; `encoded` marks an encoded-word.
  void add(std::string_view separator, std::string_view token, bool encoded = false);
  // Adds `text` as tokens split at its blanks, so it may fold at any of them.
  void addWords(std::string_view separator, std::string_view text);
  void finish() { out_ += "\r\n"; }

 private:
  std::string& out_;
  std::size_t lineStart_;
  bool encodedLine_ = false;
};

// Base64 (RFC 4648: padded, no line breaks), by OpenSSL; every base64 the client writes (AUTH,
// encoded-words, attachments) is made here. encodeBase64 writes 4 * ceil(size / 3) characters
// and a NUL at `out` and returns the characters; appendBase64 appends them to `out`.
std::size_t encodeBase64(char* out, std::string_view bytes) noexcept;
void appendBase64(std::string& out, std::string_view bytes);

// RFC 2047 "B" encoded-words of at most 64 characters, never splitting a UTF-8 character;
// each word goes to the folder with `separator` before the first one and " " between them.
void addEncodedWords(FieldFolder& folder, std::string_view separator, std::string_view text);

// True when the text holds something a receiver would decode as an encoded-word ("=?" and a
// later "?="): such a text goes out encoded itself, so that it arrives as written.
bool looksEncoded(std::string_view text) noexcept;

// Adds one address entry (blanks trimmed): a bare address as written; a display name as
// written when it is an atom sequence or one quoted string, as a quoted string when it holds
// RFC 5322 specials, or as encoded-words (unescaped first) when it is not ASCII, looks encoded
// or has a run of text no folding could keep within a line. An entry too long for one line
// folds at its blanks.
void addAddress(FieldFolder& folder, std::string_view separator, std::string_view entry);

// One "To:"/"Cc:" field with every entry of the list, separated by ", " and folded between
// entries.
void appendAddressField(std::string& out, std::string_view name, std::string_view list);

// Sends one RCPT TO per entry of `list` until one is not accepted; the last reply stays in
// `reply`, and `refused` (when given) views the address of the entry that was not accepted. An
// entry that is not sendable is refused with SMTP_BAD_PARAMETERS before it is sent. The socket
// form reads the replies as they come (SmtpSendRcpt).
Exchange sendRecipients(ReplyReader& reader, std::string_view list, char* reply,
                        std::string_view* refused = nullptr) noexcept;
Exchange sendRecipients(int socket, std::string_view list, char* reply) noexcept;
// The "To:"/"Cc:" field of `list` written to the socket (SmtpSendTo, SmtpSendCc): 0 and nothing
// written for an empty list, SMTP_BAD_PARAMETERS for one with a line break.
int sendAddressField(int socket, const char* name, std::string_view list) noexcept;

void appendPriorityLine(std::string& out, signed char priority);
void appendXPriorityLine(std::string& out, signed char priority);
// The six-character name of priority 1..5, "Normal" for any other (GetPriorityName).
const char* priorityName(signed char priority) noexcept;
// One priority line written to the socket (SmtpSendPriority, SmtpSendXPriority).
int sendPriority(int socket, signed char priority) noexcept;
int sendXPriority(int socket, signed char priority) noexcept;

// What goes into one mail's DATA: header block and body, CR and LF already checked.
struct MailText {
  std::string_view from, to, cc, subject, date, messageId, body, localHost;
  signed char priority;
  const RichMail* rich = nullptr;  // null or empty for a plain mail
  std::string_view boundary = {};            // the stem of the multipart boundaries of a rich mail
};

// True when the mail must declare MIME: non-ASCII subject, sender, To, Cc or body, or a body
// line longer than 998 bytes.
bool needsMime(const MailText& mail) noexcept;

// Appends the header block through the empty line that ends it.
void appendHeaderBlock(std::string& out, const MailText& mail, bool mime);

// Quoted-printable form of `body` with CR LF line ends, at most 76 characters a line, and no
// line starting with "." (escaped), so it needs no further transparency.
void appendQuotedPrintable(std::string& out, std::string_view body);
// The same a stretch at a time: encodes from `from` (the start of a line of the encoded form)
// and stops at the start of a line once `out` holds at least `most` bytes; returns where the
// next stretch starts (the body's size when it is done).
std::size_t appendQuotedPrintable(std::string& out, std::string_view body, std::size_t from, std::size_t most);

// Walks a body and yields the segments that put it on the wire transparently: every line end
// as CR LF, a "." doubled at the start of each line. Segments point into the body or into
// constants; nothing is copied.
class BodySegments {
 public:
  // `lineStart`: the body continues a text whose last line ended just before it.
  explicit BodySegments(std::string_view body, bool lineStart = true) noexcept
      : p_(body.data()), end_(body.data() + body.size()), segment_(p_), lineStart_(lineStart) {}
  // Fills at most `room` entries (room >= 5: with less it makes no progress and returns 0 as
  // if the body were done); returns how many, 0 when the body is done.
  int fill(iovec* iov, int room) noexcept;

 private:
  const char* p_;
  const char* end_;
  const char* segment_;
  bool lineStart_;
};

// ---- rich content (smtp_mime.cpp) ----

// True when the rich content alone makes the mail MIME: parts, or non-ASCII in the Reply-To
// list or in a header value.
bool richNeedsMime(const RichMail& rich) noexcept;

// A random stem for the boundaries of a multipart mail. The encoded parts cannot hold it (it
// starts with "=_", which neither quoted-printable nor base64 writes); it is checked against
// the part headers, the only text that goes into a part unencoded.
std::string chooseBoundary(const RichMail& rich);

// MIME-Version and the Content-Type (with its encoding) of a mail with parts.
void appendRichMimeFields(std::string& out, const MailText& mail);

// The message's own header fields that may be sent (richmail::headerRefusal), each value one
// line by the Subject's rules (appendTextField).
void appendMessageFields(std::string& out, const RichMail& rich);

// The encoded body of a MIME mail, made a stretch at a time while it is written, so the client
// never holds an encoded copy of an attachment or a text: for a mail with parts, text and HTML
// quoted-printable and attachments base64 within their multipart frame; otherwise the text
// quoted-printable. Every line is CR LF-ended and at most 76 characters; none starts with ".".
// It views the mail's values, which must outlive it.
class EncodedBody {
 public:
  EncodedBody(const MailText& mail, bool parts);
  // Appends the next stretch to `out` (something, however full `out` already is), stopping once
  // `out` holds at least `most` bytes (a few KiB over it at most); false when nothing was left.
  bool next(std::string& out, std::size_t most);
  bool done() const noexcept { return piece_ == pieces_.size(); }

 private:
  struct Piece {
    enum Kind { Text, QuotedPrintable, Base64 } kind;
    std::string_view data;  // what QuotedPrintable and Base64 encode
    std::string text = {};  // the frame: boundaries and part headers, as they go out
  };
  // The frame's text goes into the piece before, when that is text too.
  std::string& text();
  void encoded(Piece::Kind kind, std::string_view data);
  void content(const MailText& mail);

  std::vector<Piece> pieces_;
  std::size_t piece_ = 0;  // the piece under way
  std::size_t at_ = 0;     // where in it
};

// The whole encoded body at once (EncodedBody's stretches end to end).
void appendRichBody(std::string& out, const MailText& mail);

}  // namespace smtp

#endif
