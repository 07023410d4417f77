// The MIME structure of a mail with rich content (RFC 2045-2049): the text and HTML parts as
// multipart/alternative, attachments as base64 parts of a multipart/mixed mail with their file
// names (RFC 2231 when not plain ASCII), the boundaries, and the message's own header fields.
#include <algorithm>
#include <random>

#include "header_rule.h"
#include "smtp_internal.h"

namespace smtp {
namespace {

using Attachment = RichMail::Attachment;

constexpr std::size_t kBase64Line = 76;  // characters, 57 bytes
constexpr std::size_t kParameterChunk = 60;
constexpr std::size_t kMaxContentType = 200;
constexpr std::string_view kMimeVersion = "MIME-Version: 1.0\r\n";
constexpr std::string_view kTextPart = "text/plain; charset=UTF-8";
constexpr std::string_view kHtmlPart = "text/html; charset=UTF-8";
constexpr std::string_view kDefaultType = "application/octet-stream";

// What the mail (or its first part) is: one text, one HTML text, or both as alternatives.
enum class Content { Text, Html, Alternative };

Content contentOf(const MailText& mail) {
  if (!mail.rich->hasHtml) return Content::Text;
  return mail.body.empty() ? Content::Html : Content::Alternative;
}

bool isTokenChar(char c) noexcept {
  return c > 32 && c < 127 && std::string_view{"()<>@,;:\\\"/[]?="}.find(c) == std::string_view::npos;
}

std::size_t tokenLength(std::string_view text) noexcept {
  std::size_t n = 0;
  while (n < text.size() && isTokenChar(text[n])) ++n;
  return n;
}

// type "/" subtype, then any number of ";" attribute "=" (token or quoted string), blanks
// allowed around the separators: what a strict MIME parser takes without a defect. Short
// enough to stay on one header line, and not multipart or message, which RFC 2046 forbids to
// send in base64.
bool validContentType(std::string_view type) noexcept {
  type = trimBlanks(type);
  if (type.size() > kMaxContentType) return false;
  std::size_t n = tokenLength(type);
  if (n == 0 || n >= type.size() || type[n] != '/') return false;
  const auto major = [type, n](std::string_view lower) {
    if (n != lower.size()) return false;
    for (std::size_t i = 0; i < n; ++i)
      if ((type[i] >= 'A' && type[i] <= 'Z' ? type[i] + 32 : type[i]) != lower[i]) return false;
    return true;
  };
  if (major("multipart") || major("message")) return false;
  type.remove_prefix(n + 1);
  if ((n = tokenLength(type)) == 0) return false;
  type = trimBlanks(type.substr(n));
  while (!type.empty()) {
    if (type.front() != ';') return false;
    type = trimBlanks(type.substr(1));
    if ((n = tokenLength(type)) == 0 || n >= type.size() || type[n] != '=') return false;
    type = trimBlanks(type.substr(n + 1));
    if (!type.empty() && type.front() == '"') {
      const std::size_t close = type.find('"', 1);
      if (close == std::string_view::npos || type.substr(1, close - 1).find_first_of("\\\r\n") != std::string_view::npos)
        return false;
      n = close + 1;
    } else if ((n = tokenLength(type)) == 0) {
      return false;
    }
    type = trimBlanks(type.substr(n));
  }
  return true;
}

// A file name goes out as a quoted string when it is short printable ASCII, otherwise as RFC
// 2231 UTF-8 with percent escapes, in numbered sections that keep the lines short.
void appendFileName(std::string& out, std::string_view name) {
  const bool plain = name.size() <= kParameterChunk &&
                     std::all_of(name.begin(), name.end(), [](char c) { return c >= 32 && c < 127 && c != '"' && c != '\\'; });
  if (plain) {
    out += "; filename=\"";
    out += name;
    out += '"';
    return;
  }
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string encoded = "UTF-8''";
  for (const char c : name) {
    const auto u = static_cast<unsigned char>(c);
    if ((u >= '0' && u <= '9') || ((u | 32) >= 'a' && (u | 32) <= 'z') || std::string_view{"!#$&+-.^_`|~"}.find(c) != std::string_view::npos) {
      encoded += c;
    } else {
      encoded += '%';
      encoded += kHex[u >> 4];
      encoded += kHex[u & 15];
    }
  }
  if (encoded.size() <= kParameterChunk) {
    out += ";\r\n filename*=";
    out += encoded;
    return;
  }
  std::size_t section = 0;
  for (std::size_t p = 0; p < encoded.size(); ++section) {
    std::size_t take = std::min(kParameterChunk, encoded.size() - p);
    // Never split a "%XX" escape between two sections.
    if (p + take < encoded.size()) {
      if (encoded[p + take - 1] == '%') take -= 1;
      else if (encoded[p + take - 2] == '%') take -= 2;
    }
    out += ";\r\n filename*";
    out += std::to_string(section);
    out += "*=";
    out.append(encoded, p, take);
    p += take;
  }
}

void appendContentFields(std::string& out, std::string_view type, std::string_view encoding) {
  out += "Content-Type: ";
  out += type;
  out += "\r\nContent-Transfer-Encoding: ";
  out += encoding;
  out += "\r\n";
}

void appendAttachmentFields(std::string& out, const Attachment& attachment) {
  std::string_view type = trimBlanks(attachment.contentType);
  if (!validContentType(type)) type = kDefaultType;
  out += "Content-Type: ";
  out += type;
  // A character value was sent as UTF-8: say so where the type is text and names no charset.
  if (attachment.text && type.substr(0, 5) == "text/" && type.find(';') == std::string_view::npos)
    out += "; charset=UTF-8";
  out += "\r\nContent-Transfer-Encoding: base64\r\nContent-Disposition: attachment";
  if (!attachment.name.empty()) appendFileName(out, attachment.name);
  out += "\r\n";
}

// Base64 in lines of 76 characters from byte `at` (a line's start), encoded a stretch of lines
// at a time on the stack and appended (one stretch at least), until `out` holds at least `most`
// bytes; returns where the next call starts. Lines are joined by CR LF: none after the last.
std::size_t appendBase64Lines(std::string& out, std::string_view data, std::size_t at, std::size_t most) {
  constexpr std::size_t kLineBytes = kBase64Line / 4 * 3;
  constexpr std::size_t kLinesPerStretch = 64;
  char stretch[kLinesPerStretch * (kBase64Line + 2) + 1];  // + the encoder's NUL
  while (at < data.size()) {
    char* q = stretch;
    for (std::size_t k = 0; k < kLinesPerStretch && at < data.size(); ++k) {
      if (at > 0) {
        *q++ = '\r';
        *q++ = '\n';
      }
      const std::size_t take = std::min(kLineBytes, data.size() - at);
      q += encodeBase64(q, data.substr(at, take));
      at += take;
    }
    out.append(stretch, static_cast<std::size_t>(q - stretch));
    if (out.size() >= most) break;
  }
  return at;
}

// "--" stem and a letter: one boundary per multipart level.
void appendDelimiter(std::string& out, std::string_view stem, char level, bool close) {
  out += "\r\n--";
  out += stem;
  out += level;
  if (close) out += "--";
  out += "\r\n";
}

void appendMultipartType(std::string& out, std::string_view subtype, std::string_view stem, char level) {
  out += "Content-Type: multipart/";
  out += subtype;
  out += "; boundary=\"";
  out += stem;
  out += level;
  out += "\"\r\n";
}

void appendContentFields(std::string& out, const MailText& mail) {
  switch (contentOf(mail)) {
    case Content::Text: appendContentFields(out, kTextPart, "quoted-printable"); break;
    case Content::Html: appendContentFields(out, kHtmlPart, "quoted-printable"); break;
    case Content::Alternative: appendMultipartType(out, "alternative", mail.boundary, 'a'); break;
  }
}

}  // namespace

bool richNeedsMime(const RichMail& rich) noexcept {
  if (rich.multipart() || !isAscii(rich.replyTo)) return true;
  return std::any_of(rich.headers.begin(), rich.headers.end(), [](const RichMail::Header& h) { return !isAscii(h.value); });
}

std::string chooseBoundary(const RichMail& rich) {
  static constexpr char kDigits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  thread_local std::mt19937_64 random{std::random_device{}()};
  std::string stem;
  const auto inPartHeaders = [&rich](std::string_view text) {
    return std::any_of(rich.attachments.begin(), rich.attachments.end(), [text](const Attachment& a) {
      return a.name.find(text) != std::string_view::npos || a.contentType.find(text) != std::string_view::npos;
    });
  };
  do {
    stem.assign("=_");
    for (int i = 0; i < 24; ++i) stem += kDigits[random() % 62];
    stem += '_';
  } while (inPartHeaders(stem));
  return stem;
}

void appendRichMimeFields(std::string& out, const MailText& mail) {
  out += kMimeVersion;
  if (mail.rich->attachments.empty()) {
    appendContentFields(out, mail);
  } else {
    appendMultipartType(out, "mixed", mail.boundary, 'm');
  }
}

void appendMessageFields(std::string& out, const RichMail& rich) {
  std::string name, scratch;
  for (const RichMail::Header& header : rich.headers) {
    if (richmail::headerRefusal(header.name) != nullptr) continue;
    name.assign(header.name);
    name += ": ";
    appendTextField(out, name, oneLine(header.value, scratch));
  }
}

std::string& EncodedBody::text() {
  if (pieces_.empty() || pieces_.back().kind != Piece::Text) pieces_.push_back({Piece::Text, {}});
  return pieces_.back().text;
}

void EncodedBody::encoded(Piece::Kind kind, std::string_view data) {
  if (!data.empty()) pieces_.push_back({kind, data});
}

// The text, the HTML, or both as alternatives.
void EncodedBody::content(const MailText& mail) {
  switch (contentOf(mail)) {
    case Content::Text: encoded(Piece::QuotedPrintable, mail.body); break;
    case Content::Html: encoded(Piece::QuotedPrintable, mail.rich->html); break;
    case Content::Alternative:
      text().append("--").append(mail.boundary).append("a\r\n");
      appendContentFields(text(), kTextPart, "quoted-printable");
      text() += "\r\n";
      encoded(Piece::QuotedPrintable, mail.body);
      appendDelimiter(text(), mail.boundary, 'a', false);
      appendContentFields(text(), kHtmlPart, "quoted-printable");
      text() += "\r\n";
      encoded(Piece::QuotedPrintable, mail.rich->html);
      appendDelimiter(text(), mail.boundary, 'a', true);
      break;
  }
}

EncodedBody::EncodedBody(const MailText& mail, bool parts) {
  if (!parts) {
    encoded(Piece::QuotedPrintable, mail.body);
    return;
  }
  const RichMail& rich = *mail.rich;
  if (rich.attachments.empty()) {
    content(mail);
    return;
  }
  text().append("--").append(mail.boundary).append("m\r\n");
  appendContentFields(text(), mail);
  text() += "\r\n";
  content(mail);
  for (const Attachment& attachment : rich.attachments) {
    appendDelimiter(text(), mail.boundary, 'm', false);
    appendAttachmentFields(text(), attachment);
    text() += "\r\n";
    encoded(Piece::Base64, attachment.data);
  }
  appendDelimiter(text(), mail.boundary, 'm', true);
}

bool EncodedBody::next(std::string& out, std::size_t most) {
  if (done()) return false;
  do {  // a step at least, however full `out` already is
    const Piece& piece = pieces_[piece_];
    std::size_t end = piece.data.size();
    switch (piece.kind) {
      case Piece::Text: out += piece.text; break;
      case Piece::QuotedPrintable: end = at_ = appendQuotedPrintable(out, piece.data, at_, most); break;
      case Piece::Base64: end = at_ = appendBase64Lines(out, piece.data, at_, most); break;
    }
    if (piece.kind == Piece::Text || end == piece.data.size()) {
      ++piece_;
      at_ = 0;
    }
  } while (!done() && out.size() < most);
  return true;
}

void appendRichBody(std::string& out, const MailText& mail) {
  EncodedBody body(mail, true);
  while (body.next(out, std::string::npos)) {
  }
}

}  // namespace smtp
