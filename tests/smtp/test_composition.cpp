// Properties of the composition helpers that no single mail shows: encoded-words stay within
// 75 characters and whole UTF-8 characters, an over-long address keeps a line of its own, no run
// of text makes a line past 998 bytes, a body in wire form is not copied, MIME is declared exactly
// at its limits.
#include <gtest/gtest.h>

#include <string>

#include "SimpleSMTP/smtp_internal.h"
#include "smtp_test_server.h"
#include "test_text.h"

using testsupport::lines;

TEST(Composition, EncodedWordsAndFoldingKeepTheirLimits) {
  std::string text, out, decoded;
  for (int i = 0; i < 40; ++i) text += "aé日🎉 ";  // 1-, 2-, 3- and 4-byte characters
  smtp::FieldFolder folder(out, "Subject: ");
  smtp::addEncodedWords(folder, "", text);
  folder.finish();
  for (const std::string_view line : lines(out)) {
    EXPECT_LE(line.size(), 76u) << line;
    for (std::size_t p = 0; (p = line.find("=?UTF-8?B?", p)) != std::string::npos; p += 2) {
      const std::size_t end = line.find("?=", p + 10);
      ASSERT_NE(end, std::string::npos);
      EXPECT_LE(end + 2 - p, 75u);
      const std::string bytes = testsupport::base64Decode(std::string(line.substr(p + 10, end - p - 10)));
      // Words that together give the text back and never start inside a character hold whole ones.
      EXPECT_NE(static_cast<unsigned char>(bytes.at(0)) & 0xC0, 0x80) << line;
      decoded += bytes, p = end;
    }
  }
  EXPECT_EQ(decoded, text);

  // One address longer than a line stays whole on a line of its own.
  std::string field;
  smtp::appendAddressField(field, "To:", "a@x;" + std::string(100, 'n') + "@x");
  EXPECT_EQ(field, "To:a@x,\r\n " + std::string(100, 'n') + "@x\r\n");

  // Found by fuzzing: a display name with a run no folding can break made a header line past
  // RFC 5322's 998 bytes, as did runs split only by TABs (folding happens at blanks). They go out
  // as encoded-words instead, while the address stays as written.
  const std::string entry = std::string(1200, 'n') + " <who@example.com>";
  std::string tabbed, header;
  for (int i = 0; i < 3; ++i) tabbed += std::string(600, 's') + "\t";
  const smtp::MailText mail{entry, entry, "", tabbed, "date", "", "body", "host", 3};
  smtp::appendHeaderBlock(header, mail, smtp::needsMime(mail));
  for (const std::string_view line : lines(header)) EXPECT_LE(line.size(), 998u) << line.substr(0, 40);
  for (const char* start : {"\r\nFrom: =?UTF-8?B?", "\r\nTo:=?UTF-8?B?", "\r\nSubject: =?UTF-8?B?", " <who@example.com>\r\n"})
    EXPECT_NE(("\r\n" + header).find(start), std::string::npos) << start;
}

// The body's transparency, also across batches, and quoted-printable's lines are checked by the
// real server's mails and the body fuzz target.
TEST(Composition, BodyIsSentWithoutACopyAndMimeOnlyWhenNeeded) {
  // A body already in wire form goes out as one segment that points into it.
  const std::string ready = "line one\r\nline two\r\n";
  smtp::BodySegments segments(ready);
  iovec iov[8];
  ASSERT_EQ(segments.fill(iov, 8), 1);
  EXPECT_EQ(iov[0].iov_base, ready.data());

  smtp::MailText mail{"a@x", "b@x", "", "Subject", "date", "", "", "host", 3};
  const std::string limit(998, 'x');
  for (const auto& [text, cc, expected] : std::initializer_list<std::tuple<std::string, const char*, bool>>{
           {limit, "", false}, {limit + "x", "", true}, {limit + "\r" + limit, "", false},
           {limit + "\n" + limit + "\r\n", "", false}, {"caf\xC3\xA9", "", true}, {"", "Zo\xC3\xAB <z@x>", true}}) {
    mail.body = text, mail.cc = cc;
    EXPECT_EQ(smtp::needsMime(mail), expected) << text.size();
  }
}
