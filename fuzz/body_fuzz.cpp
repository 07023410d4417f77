// Fuzz target: what the client puts between DATA and the end-of-data marker. The body's wire
// form, un-stuffed, must give back the body with CR LF line ends; its quoted-printable form,
// decoded, the same; and the header block must be well-formed lines that end where it ends, also
// for the same values sent as a mail with HTML and an attachment, whose parts are short lines;
// and the encoded forms sent a stretch at a time are the same bytes as made at once.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "SimpleSMTP/smtp_internal.h"
#include "test_text.h"

namespace {

using testsupport::check;

// Decodes quoted-printable that must be short 7-bit lines (so no bare CR or LF), none starting
// with a dot or ending in white space, so it needs no further transparency.
std::string decodeQuotedPrintable(std::string_view qp) {
  for (const std::string_view line : testsupport::lines(qp)) {
    check(line.size() <= 76, "quoted-printable line over 76", line);
    check(line.empty() || (line.front() != '.' && line.back() != ' ' && line.back() != '\t'),
          "quoted-printable line starts with a dot or ends in white space", line);
    for (const char c : line) check(c == '\t' || (c >= 32 && c <= 126), "quoted-printable: raw byte", line);
  }
  static const std::string_view hex = "0123456789ABCDEF";
  std::string out;
  for (std::size_t i = 0; i < qp.size(); ++i) {
    if (qp[i] != '=') {
      out += qp[i];
    } else if (qp.substr(i, 3) != "=\r\n") {
      check(i + 2 < qp.size(), "quoted-printable: cut escape");
      const std::size_t hi = hex.find(qp[i + 1]), lo = hex.find(qp[i + 2]);
      check(hi != std::string_view::npos && lo != std::string_view::npos, "quoted-printable: bad escape", qp.substr(i, 3));
      out += static_cast<char>(hi * 16 + lo);
    }
    i += qp[i] == '=' ? 2 : 0;
  }
  return out;
}

// The body's transparent wire form, gathered from the segments the dialogue would write.
std::string wireForm(std::string_view body, int room, bool lineStart = true) {
  std::string wire;
  smtp::BodySegments segments(body, lineStart);
  iovec iov[64];
  for (int n; (n = segments.fill(iov, room)) > 0;) {
    check(n <= room, "segments overran the room");
    for (int i = 0; i < n; ++i) wire.append(static_cast<const char*>(iov[i].iov_base), iov[i].iov_len);
  }
  return wire;
}

// An encoded body as the dialogue sends it: stretches of about `most` bytes, each through the
// transparency pass (which must change nothing), joined.
std::string streamed(const smtp::MailText& mail, bool parts, std::size_t most, int room) {
  std::string wire;
  bool lineStart = true;
  for (smtp::EncodedBody body(mail, parts); !body.done();) {
    std::string stretch;
    check(body.next(stretch, most) && !stretch.empty(), "an empty stretch before the end");
    wire += wireForm(stretch, room, lineStart);
    lineStart = stretch.back() == '\n';
  }
  return wire;
}

// Header lines (or, with `parts`, the lines of a multipart body, none starting with a dot): CR LF
// ends, within 998 bytes. A header block ends at its one empty line, each line a field or its
// continuation; a MIME mail's subject is all ASCII (encoded-words). Addresses are not checked
// for that: a bare address has no part that encoded-words may carry.
void checkLines(std::string_view text, bool mime, bool parts = false) {
  for (std::size_t i = 0; i < text.size(); ++i) {  // every CR followed by LF, every LF after a CR
    check(text[i] != '\r' || text.substr(i + 1, 1) == "\n", "bare CR", text.substr(i));
    check(text[i] != '\n' || (i > 0 && text[i - 1] == '\r'), "bare LF", text.substr(i));
  }
  if (!parts) check(text.size() >= 4 && text.find("\r\n\r\n") == text.size() - 4, "header block end or empty line inside it");
  bool inSubject = false;
  for (const std::string_view line : testsupport::lines(parts ? text : text.substr(0, text.size() - 2))) {
    check(line.size() <= 998, "line over 998 bytes", line);
    if (parts) {
      check(line.empty() || line.front() != '.', "part line starts with a dot", line);
      continue;
    }
    const bool continuation = !line.empty() && (line.front() == ' ' || line.front() == '\t');
    check(continuation || line.find(':') != std::string_view::npos, "header line without a name", line);
    if (!continuation) inSubject = line.substr(0, 8) == "Subject:";
    check(!mime || !inSubject || smtp::isAscii(line), "8-bit subject in a MIME mail", line);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const int room = in.ConsumeIntegralInRange<int>(5, 64);
  // Header values reach the client as C strings: they end at the first NUL. The dialogue
  // refuses CR and LF in the sender and the recipients before it composes.
  const auto cString = [&](std::size_t most, bool oneLine = false) {
    std::string s = in.ConsumeRandomLengthString(most);
    s = s.substr(0, s.find('\0'));
    return oneLine && s.find_first_of("\r\n") != std::string::npos ? std::string{} : s;
  };
  const std::string from = cString(1200, true), to = cString(1200, true), cc = cString(300, true);
  const std::string subject = cString(2500), date = cString(64), messageId = cString(128);
  const auto priority = in.ConsumeIntegral<signed char>();
  const std::string body = in.ConsumeRemainingBytesAsString();
  const std::string expected = testsupport::crlf(body);

  // Transparent form: un-stuffing gives the body back (so CR LF only), and the end-of-data marker
  // appears only where the client puts it.
  const std::string wire = wireForm(body, room);
  std::string unstuffed;  // as a receiving server undoes the dot-stuffing: a line's leading "." dropped
  for (std::size_t i = 0; i < wire.size(); ++i)
    if (wire[i] != '.' || (i > 0 && wire[i - 1] != '\n')) unstuffed += wire[i];
  check(unstuffed == expected, "un-stuffed wire differs from the body");
  check(("\r\n" + wire + "\r\n.\r\n").find("\r\n.\r\n") == wire.size() + 2, "end of data inside the body");

  // Quoted-printable form: decodes to the body, needs no stuffing (no line starts with a dot).
  std::string qp;
  smtp::appendQuotedPrintable(qp, body);
  check(decodeQuotedPrintable(qp) == expected, "decoded quoted-printable differs from the body");

  // Header block, for the envelopes the dialogue sends: an entry that is not one address of
  // at most a path's 256 bytes is refused before DATA.
  if (!smtp::sendableEnvelope(from, to, cc, {})) return 0;
  const smtp::MailText mail{from, to, cc, subject, date, messageId, body, "client.example.com", priority};
  const bool mime = smtp::needsMime(mail);
  std::string header;
  smtp::appendHeaderBlock(header, mail, mime);
  checkLines(header, mime);
  const std::size_t most = static_cast<std::size_t>(room) * 7;
  check(streamed(mail, false, most, room) == qp, "streamed quoted-printable differs from the whole");

  // The same values as rich content: the subject as HTML, an attachment named by the sender
  // with the Cc list as its type and the body as its bytes, a header field named by the To list.
  const smtp::RichMail rich{{}, true, subject, {{to, subject}}, {{from, cc, body, false}}};
  const std::string boundary = smtp::chooseBoundary(rich);
  const smtp::MailText richMail{from, to, cc, subject, date, messageId, body, "client.example.com", priority, &rich, boundary};
  std::string richHeader, parts;
  smtp::appendHeaderBlock(richHeader, richMail, true);
  checkLines(richHeader, true);
  smtp::appendRichBody(parts, richMail);
  checkLines(parts, true, true);
  check(streamed(richMail, true, most, room) == parts, "streamed parts differ from the whole");
  return 0;
}
