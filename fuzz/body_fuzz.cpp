// Fuzz target: what the client puts between DATA and the end-of-data marker. The body's wire
// form, un-stuffed, must give back the body with CR LF line ends; its quoted-printable form,
// decoded, the same; and the header block must be well-formed lines that end where it ends, also
// for the same values sent as a mail with HTML and an attachment, whose parts are short lines.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "SimpleSMTP/smtp_internal.h"
#include "test_text.h"

namespace {

[[noreturn]] void fail(const char* what, std::string_view detail = {}) {
  std::fprintf(stderr, "invariant broken: %s [%.*s]\n", what, static_cast<int>(detail.size()),
               detail.data());
  std::abort();
}

// Every CR is followed by LF and every LF follows a CR.
void expectOnlyCrLf(std::string_view wire, const char* what) {
  for (std::size_t i = 0; i < wire.size(); ++i) {
    if (wire[i] == '\r' && (i + 1 == wire.size() || wire[i + 1] != '\n')) fail(what, "bare CR");
    if (wire[i] == '\n' && (i == 0 || wire[i - 1] != '\r')) fail(what, "bare LF");
  }
}

// Undoes the dot-stuffing of a receiving server: a leading "." of each line is dropped.
std::string unstuff(std::string_view wire) {
  std::string out;
  bool lineStart = true;
  for (std::size_t i = 0; i < wire.size(); ++i) {
    if (lineStart && wire[i] == '.') {
      lineStart = false;
      continue;
    }
    lineStart = wire[i] == '\n';
    out += wire[i];
  }
  return out;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string decodeQuotedPrintable(std::string_view qp) {
  std::string out;
  for (std::size_t i = 0; i < qp.size(); ++i) {
    if (qp[i] != '=') {
      out += qp[i];
      continue;
    }
    if (qp.substr(i, 3) == "=\r\n") {
      i += 2;
      continue;
    }
    if (i + 2 >= qp.size()) fail("quoted-printable: cut escape");
    const int hi = hexValue(qp[i + 1]);
    const int lo = hexValue(qp[i + 2]);
    if (hi < 0 || lo < 0) fail("quoted-printable: bad escape", qp.substr(i, 3));
    out += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  return out;
}

void checkQuotedPrintable(std::string_view qp) {
  expectOnlyCrLf(qp, "quoted-printable");
  std::size_t start = 0;
  while (start < qp.size()) {
    std::size_t end = qp.find("\r\n", start);
    if (end == std::string_view::npos) end = qp.size();
    const std::string_view line = qp.substr(start, end - start);
    if (line.size() > 76) fail("quoted-printable line over 76", line);
    if (!line.empty() && line.front() == '.') fail("quoted-printable line starts with a dot", line);
    if (!line.empty() && (line.back() == ' ' || line.back() == '\t'))
      fail("quoted-printable line ends in white space", line);
    for (const char c : line) {
      const auto u = static_cast<unsigned char>(c);
      if (!(u == '\t' || (u >= 32 && u <= 126))) fail("quoted-printable: raw byte", line);
    }
    start = end + 2;
  }
}

// The body's transparent wire form, gathered from the segments the dialogue would write.
std::string wireForm(std::string_view body, int room) {
  std::string wire;
  smtp::BodySegments segments(body);
  iovec iov[64];
  for (;;) {
    const int n = segments.fill(iov, room);
    if (n == 0) break;
    if (n > room) fail("segments overran the room");
    for (int i = 0; i < n; ++i) wire.append(static_cast<const char*>(iov[i].iov_base), iov[i].iov_len);
  }
  return wire;
}

// Also: a MIME mail's subject is all ASCII (encoded-words). Addresses are not checked for
// that: a bare address has no part that encoded-words may carry.
void checkHeaderBlock(std::string_view header, bool mime) {
  if (header.size() < 4 || header.substr(header.size() - 4) != "\r\n\r\n") fail("header block end");
  expectOnlyCrLf(header, "header block");
  if (header.find("\r\n\r\n") != header.size() - 4) fail("empty line inside the header block");
  std::size_t start = 0;
  bool inSubject = false;
  while (start < header.size() - 2) {
    const std::size_t end = header.find("\r\n", start);
    const std::string_view line = header.substr(start, end - start);
    if (line.size() > 998) fail("header line over 998 bytes", line.substr(0, 80));
    const bool continuation = line.front() == ' ' || line.front() == '\t';
    if (!continuation && line.find(':') == std::string_view::npos) fail("header line without a name", line);
    if (!continuation) inSubject = line.substr(0, 8) == "Subject:";
    if (mime && inSubject && !smtp::isAscii(line)) fail("8-bit subject in a MIME mail", line);
    start = end + 2;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const int room = in.ConsumeIntegralInRange<int>(5, 64);
  // Header values reach the client as C strings: they end at the first NUL.
  const auto cString = [&](std::size_t most) {
    std::string s = in.ConsumeRandomLengthString(most);
    return s.substr(0, s.find('\0'));
  };
  // The dialogue refuses CR and LF in the sender and the recipients before it composes.
  const auto oneLine = [](std::string s) {
    return s.find_first_of("\r\n") == std::string::npos ? s : std::string{};
  };
  const std::string from = oneLine(cString(1200));
  const std::string to = oneLine(cString(1200));
  const std::string cc = oneLine(cString(300));
  const std::string subject = cString(2500);
  const std::string date = cString(64);
  const std::string messageId = cString(128);
  const auto priority = in.ConsumeIntegral<signed char>();
  const std::string body = in.ConsumeRemainingBytesAsString();

  const std::string expected = testsupport::crlf(body);

  // Transparent form: CR LF only, and un-stuffing gives the body back.
  const std::string wire = wireForm(body, room);
  expectOnlyCrLf(wire, "body");
  if (unstuff(wire) != expected) fail("un-stuffed wire differs from the body");
  // The end-of-data marker may only appear where the client puts it.
  const std::string framed = "\r\n" + wire + "\r\n.\r\n";
  if (framed.find("\r\n.\r\n") != framed.size() - 5) fail("end of data inside the body");

  // Quoted-printable form: decodes to the body, needs no stuffing.
  std::string qp;
  smtp::appendQuotedPrintable(qp, body);
  checkQuotedPrintable(qp);
  if (decodeQuotedPrintable(qp) != expected) fail("decoded quoted-printable differs from the body");
  if (wireForm(qp, room) != qp) fail("quoted-printable form was changed on the wire");

  // Header block, for the envelopes the dialogue sends: an entry that is not one address of
  // at most a path's 256 bytes is refused before DATA.
  if (!smtp::sendableEnvelope(from, to, cc, {})) return 0;
  const smtp::MailText mail{from, to, cc, subject, date, messageId, body, "client.example.com", priority};
  const bool mime = smtp::needsMime(mail);
  std::string header;
  smtp::appendHeaderBlock(header, mail, mime);
  checkHeaderBlock(header, mime);

  // The same values as rich content: the subject as HTML, an attachment named by the sender
  // with the Cc list as its type and the body as its bytes, a header field named by the To list.
  // Header block as above; the parts are CR LF lines within 998 bytes, none starting with a dot.
  richmail::RichMail rich;
  rich.hasHtml = true;
  rich.html = subject;
  rich.headers.push_back({to, subject});
  rich.attachments.push_back({from, cc, body, false});
  const std::string boundary = smtp::chooseBoundary(rich);
  smtp::MailText richMail = mail;
  richMail.rich = &rich;
  richMail.boundary = boundary;
  header.clear();
  smtp::appendHeaderBlock(header, richMail, true);
  checkHeaderBlock(header, true);
  std::string parts;
  smtp::appendRichBody(parts, richMail);
  expectOnlyCrLf(parts, "parts");
  for (std::size_t start = 0; start < parts.size();) {
    const std::size_t end = std::min(parts.find("\r\n", start), parts.size());
    if (end - start > 998) fail("part line over 998 bytes", std::string_view(parts).substr(start, 80));
    if (parts[start] == '.') fail("part line starts with a dot", std::string_view(parts).substr(start, 80));
    start = end + 2;
  }
  return 0;
}
