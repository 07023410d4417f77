// Message composition: the header block of every mail, in its fixed order, and the rules that
// keep it one standard header per field (one-line values, folding, RFC 2047 encoded-words, the
// Message-ID form, the MIME declaration). All header bytes of the DATA phase are decided here;
// so is the client's one base64 (OpenSSL's), which AUTH and the attachments use too.
#include <openssl/evp.h>

#include <algorithm>
#include <cstring>

#include "smtp_internal.h"
#include "smtp_submit.h"

namespace smtp {
namespace {

constexpr std::string_view kMailer = "Orvex Talvane Larnet V2 PlugIn node";
constexpr std::size_t kWordBytes = 39;         // 52 base64 characters: words of 64 characters
constexpr std::string_view kMimeFields =
    "MIME-Version: 1.0\r\n"
    "Content-Type: text/plain; charset=UTF-8\r\n"
    "Content-Transfer-Encoding: quoted-printable\r\n";

bool isBlank(char c) noexcept { return c == ' ' || c == '\t'; }

// A field kept as written; only a line that would pass the hard limit is folded at its blanks.
void appendPlainField(std::string& out, std::string_view name, std::string_view value) {
  if (name.size() + value.size() <= kMaxLine) {
    out += name;
    out += value;
    out += "\r\n";
    return;
  }
  FieldFolder folder(out, name);
  folder.addWords("", value);
  folder.finish();
}

// The sender goes through the same rules as a recipient entry, so that it parses as one address.
void appendSenderField(std::string& out, std::string_view name, std::string_view from) {
  FieldFolder folder(out, name);
  addAddress(folder, "", from);
  folder.finish();
}

// Whether folding at blanks gives back exactly the text, every line within the limit: every
// fold stands for one blank with text on both sides, so no run of blanks and no blank at either
// end; and the first word, which shares its line with the field name, fits beside it.
bool foldsExactly(std::string_view name, std::string_view text) noexcept {
  if (text.empty() || isBlank(text.front()) || isBlank(text.back()) || hasUnfoldableRun(text)) return false;
  if (name.size() + std::min(text.find(' '), text.size()) > kMaxLine) return false;
  return text.find("  ") == std::string_view::npos;
}

// "<left@right>" as RFC 5322 wants it; an id of another form is kept whole inside
// "<id@host>" (or just bracketed when it is "left@right" already).
void appendMessageIdField(std::string& out, std::string_view id, std::string_view host) {
  out += "Message-ID: ";
  std::string_view inner = id;
  if (inner.size() >= 2 && inner.front() == '<' && inner.back() == '>')
    inner = inner.substr(1, inner.size() - 2);
  const std::size_t at = inner.find('@');
  const bool wellFormed = at != std::string_view::npos && at > 0 && at + 1 < inner.size() &&
                          inner.find('@', at + 1) == std::string_view::npos &&
                          inner.find_first_of("<> \t\"") == std::string_view::npos;
  out += '<';
  out += inner;
  if (!wellFormed) {
    out += '@';
    out += host.empty() ? std::string_view{"localhost"} : host;
  }
  out += ">\r\n";
}

bool bodyNeedsEncoding(std::string_view body) noexcept {
  if (!isAscii(body)) return true;
  const char* p = body.data();
  const char* end = p + body.size();
  while (p < end) {
    const void* lf = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
    const char* stop = lf ? static_cast<const char*>(lf) : end;
    if (static_cast<std::size_t>(stop - p) > kMaxLine) {
      // Lone CRs end lines too; only a run without either is too long.
      std::size_t run = 0;
      for (const char* q = p; q < stop; ++q) {
        run = *q == '\r' ? 0 : run + 1;
        if (run > kMaxLine) return true;
      }
    }
    p = stop + 1;
  }
  return false;
}

}  // namespace

std::string_view oneLine(std::string_view text, std::string& scratch) {
  if (!hasLineBreak(text)) return text;
  scratch.assign(text);
  for (char& c : scratch)
    if (c == '\r' || c == '\n') c = ' ';
  return scratch;
}

void appendTextField(std::string& out, std::string_view name, std::string_view value) {
  if (isAscii(value) && !looksEncoded(value) && (name.size() + value.size() <= kMaxLine || foldsExactly(name, value))) {
    appendPlainField(out, name, value);
    return;
  }
  FieldFolder folder(out, name);
  addEncodedWords(folder, "", value);
  folder.finish();
}

bool hasLineBreak(std::string_view text) noexcept {
  if (text.empty()) return false;  // memchr wants a real pointer, even for no bytes
  return std::memchr(text.data(), '\n', text.size()) != nullptr ||
         std::memchr(text.data(), '\r', text.size()) != nullptr;
}

bool hasUnfoldableRun(std::string_view text) noexcept {
  std::size_t run = 0;
  for (const char c : text) {
    run = c == ' ' ? 0 : run + 1;  // folding happens at blanks only, not at TABs
    if (run > kMaxLine - 10) return true;
  }
  return false;
}

const char* monthShortName(int month) noexcept {
  static const char* const kShortName[13] = {"   ", "Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  return kShortName[month >= 1 && month <= 12 ? month : 0];
}

bool isAscii(std::string_view text) noexcept {
  unsigned char seen = 0;
  for (const char c : text) seen |= static_cast<unsigned char>(c);
  return (seen & 0x80) == 0;
}

std::string_view trimBlanks(std::string_view text) noexcept {
  while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
  return text;
}

FieldFolder::FieldFolder(std::string& out, std::string_view name)
    : out_(out), lineStart_(out.size()) {
  out_ += name;
}

void FieldFolder::add(std::string_view separator, std::string_view token, bool encoded) {
  const std::size_t line = out_.size() - lineStart_;
  const std::size_t width = encoded || encodedLine_ ? kEncodedWidth : kWidth;
  if (!separator.empty() && line + separator.size() + token.size() > width) {
    // The separator's blank moves behind the line break, so unfolding restores the text.
    out_ += separator.substr(0, separator.size() - 1);
    out_ += "\r\n";
    lineStart_ = out_.size();
    out_ += ' ';
    encodedLine_ = false;
  } else {
    out_ += separator;
  }
  out_ += token;
  encodedLine_ = encodedLine_ || encoded;
}

void FieldFolder::addWords(std::string_view separator, std::string_view text) {
  for (std::size_t p = 0;;) {
    const std::size_t blank = text.find(' ', p);
    add(separator, text.substr(p, blank - p));
    separator = " ";
    if (blank == std::string_view::npos) break;
    p = blank + 1;
  }
}

std::size_t encodeBase64(char* out, std::string_view bytes) noexcept {
  return static_cast<std::size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out),
                                                  reinterpret_cast<const unsigned char*>(bytes.data()),
                                                  static_cast<int>(bytes.size())));
}

void appendBase64(std::string& out, std::string_view bytes) {
  const std::size_t at = out.size();
  out.resize(at + 4 * ((bytes.size() + 2) / 3) + 1);  // + the encoder's NUL
  out.resize(at + encodeBase64(out.data() + at, bytes));
}

void addEncodedWords(FieldFolder& folder, std::string_view separator, std::string_view text) {
  char word[80];  // "=?UTF-8?B?", 52 characters, "?=" and the encoder's NUL
  do {
    std::size_t take = std::min(text.size(), kWordBytes);
    // Back off to the start of a UTF-8 character (at most three continuation bytes).
    for (int i = 0; i < 3 && take < text.size() && take > 1 &&
                    (static_cast<unsigned char>(text[take]) & 0xC0) == 0x80;
         ++i)
      --take;
    std::size_t n = 0;
    for (const char c : std::string_view{"=?UTF-8?B?"}) word[n++] = c;
    n += encodeBase64(word + n, text.substr(0, take));
    word[n++] = '?';
    word[n++] = '=';
    folder.add(separator, {word, n}, true);
    separator = " ";
    text.remove_prefix(take);
  } while (!text.empty());
}

bool needsMime(const MailText& mail) noexcept {
  // The short texts first: the body, scanned last, may run to megabytes.
  return (mail.rich != nullptr && richNeedsMime(*mail.rich)) || !isAscii(mail.subject) ||
         !isAscii(mail.from) || !isAscii(mail.to) || !isAscii(mail.cc) || bodyNeedsEncoding(mail.body);
}

void appendHeaderBlock(std::string& out, const MailText& mail, bool mime) {
  std::string scratch;
  if (!mail.to.empty()) appendAddressField(out, "To:", mail.to);
  if (!mail.cc.empty()) appendAddressField(out, "Cc:", mail.cc);
  appendSenderField(out, "From: ", mail.from);
  appendPlainField(out, "Date: ", oneLine(mail.date, scratch));
  if (!mail.messageId.empty())
    appendMessageIdField(out, oneLine(mail.messageId, scratch), mail.localHost);
  appendTextField(out, "Subject: ", oneLine(mail.subject, scratch));
  appendPriorityLine(out, mail.priority);
  out += "Importance: Normal\r\n";
  if (mail.rich != nullptr && !mail.rich->replyTo.empty()) {
    appendAddressField(out, "Reply-to: ", mail.rich->replyTo);
  } else {
    appendSenderField(out, "Reply-to: ", mail.from);
  }
  appendXPriorityLine(out, mail.priority);
  out += "X-mailer: ";
  out += kMailer;
  out += "\r\n";
  if (mail.rich != nullptr && mail.rich->multipart()) {
    appendRichMimeFields(out, mail);
  } else if (mime) {
    out += kMimeFields;
  }
  if (mail.rich != nullptr) appendMessageFields(out, *mail.rich);
  out += "\r\n";
}

}  // namespace smtp
