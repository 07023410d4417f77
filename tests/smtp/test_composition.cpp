// Properties of the composition helpers that no single mail shows: encoded-words stay within
// 75 characters and whole UTF-8 characters, quoted-printable lines stay short and safe, the body
// segments stay transparent across batch boundaries, folding unfolds to what was given.
#include <gtest/gtest.h>

#include <string>

#include "SimpleSMTP/smtp_internal.h"
#include "smtp_test_server.h"
#include "test_text.h"

namespace {

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> out;
  std::size_t p = 0;
  for (std::size_t e; (e = text.find("\r\n", p)) != std::string::npos; p = e + 2) out.push_back(text.substr(p, e - p));
  out.push_back(text.substr(p));
  return out;
}

bool wholeUtf8(const std::string& bytes) {
  for (std::size_t i = 0; i < bytes.size();) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    const std::size_t n = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 0;
    if (n == 0 || i + n > bytes.size()) return false;
    for (std::size_t k = 1; k < n; ++k)
      if ((static_cast<unsigned char>(bytes[i + k]) & 0xC0) != 0x80) return false;
    i += n;
  }
  return true;
}

}  // namespace

TEST(Composition, EncodedWordsStayShortAndKeepCharactersWhole) {
  std::string text;
  for (int i = 0; i < 40; ++i) text += "aé日🎉 ";  // 1-, 2-, 3- and 4-byte characters
  std::string out, decoded;
  smtp::FieldFolder folder(out, "Subject: ");
  smtp::addEncodedWords(folder, "", text);
  folder.finish();
  for (const std::string& line : splitLines(out)) {
    EXPECT_LE(line.size(), 76u) << line;
    for (std::size_t p = 0; (p = line.find("=?UTF-8?B?", p)) != std::string::npos; p += 2) {
      const std::size_t end = line.find("?=", p + 10);
      ASSERT_NE(end, std::string::npos);
      EXPECT_LE(end + 2 - p, 75u);
      const std::string bytes = testsupport::base64Decode(line.substr(p + 10, end - p - 10));
      EXPECT_TRUE(wholeUtf8(bytes)) << line;
      decoded += bytes;
      p = end;
    }
  }
  EXPECT_EQ(decoded, text);
}

// That it decodes back is checked by the real server's mails.
TEST(Composition, QuotedPrintableLinesAreShortAsciiAndNeedNoStuffing) {
  const std::string body = std::string(3000, 'x') + "\n" + std::string(200, '=') + "\r\n.leading dot\r" +
                           "trailing blank \ntrailing tab\t\nGrüße 🎉\n" + std::string(100, ' ') + "end";
  std::string qp;
  smtp::appendQuotedPrintable(qp, body);
  for (const std::string& line : splitLines(qp)) {
    EXPECT_LE(line.size(), 76u);
    EXPECT_NE(line.rfind('.', 0), 0u) << "no line may start with a dot";
    if (!line.empty()) { EXPECT_TRUE(line.back() != ' ' && line.back() != '\t') << line; }
    for (const char c : line) EXPECT_EQ(static_cast<unsigned char>(c) & 0x80, 0);
  }
}

TEST(Composition, BodySegmentsStayTransparentAcrossBatches) {
  const std::string body = ".a\n..b\r\rc\r\n.\r\n\n.\rend.\r";
  std::string transparent;  // CR LF line ends, leading dots doubled
  for (const std::string& line : splitLines(testsupport::crlf(body))) transparent += (line.rfind('.', 0) == 0 ? "." : "") + line + "\r\n";
  transparent.resize(transparent.size() - 2);
  for (const int room : {5, 6, 7, 64}) {
    smtp::BodySegments segments(body);
    std::string wire;
    iovec iov[64];
    for (int n; (n = segments.fill(iov, room)) > 0;)
      for (int i = 0; i < n; ++i) wire.append(static_cast<char*>(iov[i].iov_base), iov[i].iov_len);
    EXPECT_EQ(wire, transparent) << room;
  }
  // A body already in wire form goes out as one segment, without a copy.
  const std::string ready = "line one\r\nline two\r\n";
  smtp::BodySegments segments(ready);
  iovec iov[8];
  ASSERT_EQ(segments.fill(iov, 8), 1);
  EXPECT_EQ(iov[0].iov_base, ready.data());
}

TEST(Composition, MimeIsDeclaredOnlyWhenNeeded) {
  smtp::MailText mail{"a@x", "b@x", "", "Subject", "date", "", "", "host", 3};
  const std::string limit(998, 'x');
  for (const auto& [body, expected] : std::initializer_list<std::pair<std::string, bool>>{
           {limit, false}, {limit + "x", true}, {limit + "\r" + limit, false},
           {limit + "\n" + limit + "\r\n", false}, {"caf\xC3\xA9", true}}) {
    mail.body = body;
    EXPECT_EQ(smtp::needsMime(mail), expected) << body.size();
  }
  mail.body = "";
  mail.cc = "Zo\xC3\xAB <z@x>";
  EXPECT_TRUE(smtp::needsMime(mail));
}

TEST(Composition, AddressFieldsFoldBetweenEntriesAndUnfoldBack) {
  std::string list, joined, field, unfolded;
  for (int i = 0; i < 12; ++i) {
    const std::string entry = "Person " + std::to_string(i) + " <person" + std::to_string(i) + "@example.com>";
    list += entry + "; ";
    joined += (i ? ", " : "") + entry;
  }
  smtp::appendAddressField(field, "To:", list);
  for (const std::string& line : splitLines(field)) {
    EXPECT_LE(line.size(), 78u);
    unfolded += line;
  }
  EXPECT_EQ(unfolded, "To:" + joined);
  // One entry longer than a line stays whole on its own line.
  field.clear();
  smtp::appendAddressField(field, "To:", "a@x;" + std::string(100, 'n') + "@x");
  EXPECT_EQ(field, "To:a@x,\r\n " + std::string(100, 'n') + "@x\r\n");
}

// Found by fuzzing: a display name with a run no folding can break made a header line past
// RFC 5322's 998 bytes, as did runs split only by TABs (folding happens at blanks). They go out
// as encoded-words instead, while the address stays as written.
TEST(Composition, UnbreakableRunsStayWithinTheLineLimit) {
  const std::string entry = std::string(1200, 'n') + " <who@example.com>";
  std::string tabbed;
  for (int i = 0; i < 3; ++i) tabbed += std::string(600, 's') + "\t";
  const smtp::MailText mail{entry, entry, "", tabbed, "date", "", "body", "host", 3};
  std::string header;
  smtp::appendHeaderBlock(header, mail, smtp::needsMime(mail));
  for (const std::string& line : splitLines(header)) EXPECT_LE(line.size(), 998u) << line.substr(0, 40);
  for (const char* start : {"\r\nFrom: =?UTF-8?B?", "\r\nTo:=?UTF-8?B?", "\r\nSubject: =?UTF-8?B?", " <who@example.com>\r\n"})
    EXPECT_NE(("\r\n" + header).find(start), std::string::npos) << start;
}
