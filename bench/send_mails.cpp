// Benchmark driver: sends N mails through SendEmailMessage (one connection each, one at a time,
// one recipient) and prints mails/s; or one mail with a large body or a large attachment,
// printing the time and how much the client's peak memory grew beyond the data it was handed.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "SendMessage.h"
#include "SimpleSMTP/smtp_submit.h"

namespace {

long peakRssKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

int usage() {
  std::fprintf(stderr, "usage: send_mails PORT count N [BODY_BYTES] | send_mails PORT big MIB [utf8] | send_mails PORT attach MIB\n");
  return 2;
}

// Lines of 72 characters ended by a line feed, as the node joins body lines.
std::string makeBody(std::size_t bytes, bool utf8) {
  std::string body;
  body.reserve(bytes);
  const std::string line = utf8 ? std::string("Grüße ") + std::string(64, 'x') + "\n"
                                : std::string(72, 'x') + "\n";
  while (body.size() + line.size() <= bytes) body += line;
  body.append(bytes - body.size(), 'y');
  return body;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return usage();
  const auto port = static_cast<uint16_t>(std::atoi(argv[1]));
  const std::string mode = argv[2];
  using Clock = std::chrono::steady_clock;
  int32_t code = 0;
  if (mode == "count") {
    const long n = std::atol(argv[3]);
    const std::string body = makeBody(argc > 4 ? std::strtoul(argv[4], nullptr, 10) : 1024, false);
    const auto start = Clock::now();
    for (long i = 0; i < n; ++i) {
      const char* text = SendEmailMessage("127.0.0.1", port, "Bench <bench@example.com>",
                                          "sink@example.com", "", "", "benchmark",
                                          "06 Dec 2026 12:00:00 GMT", "", body.c_str(), 3, &code);
      if (code != 0) {
        std::fprintf(stderr, "mail %ld failed: %d %s\n", i, code, text);
        return 1;
      }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("%ld mails in %.3f s: %.1f mails/s\n", n, seconds, n / seconds);
    return 0;
  }
  if (mode == "big") {
    const std::size_t mib = std::strtoul(argv[3], nullptr, 10);
    const bool utf8 = argc > 4 && std::strcmp(argv[4], "utf8") == 0;
    const std::string body = makeBody(mib << 20, utf8);
    const long before = peakRssKiB();
    const auto start = Clock::now();
    const char* text = SendEmailMessage("127.0.0.1", port, "bench@example.com", "sink@example.com",
                                        "", "", "big", "06 Dec 2026 12:00:00 GMT", "",
                                        body.c_str(), 3, &code);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (code != 0) {
      std::fprintf(stderr, "big mail failed: %d %s\n", code, text);
      return 1;
    }
    const long after = peakRssKiB();
    std::printf("%zu MiB %s body in %.3f s; peak RSS %.1f MiB, %.1f MiB above the body's own\n",
                mib, utf8 ? "UTF-8 (quoted-printable)" : "ASCII", seconds, after / 1024.0,
                (after - before) / 1024.0);
    return 0;
  }
  if (mode == "attach") {
    // Bytes of every value, as a binary file would have them.
    const std::size_t mib = std::strtoul(argv[3], nullptr, 10);
    std::string data(mib << 20, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 2654435761u) >> 13);
    smtp::MailRequest request{.serverName = "127.0.0.1", .port = port, .from = "bench@example.com",
                              .to = "sink@example.com", .subject = "attachment", .date = "06 Dec 2026 12:00:00 GMT",
                              .body = "See the attachment."};
    request.rich.attachments.push_back({"data.bin", "application/octet-stream", data, false});
    const long before = peakRssKiB();
    const auto start = Clock::now();
    const smtp::Outcome sent = smtp::sendEmail(smtp::kPlainSubmission, request);
    const char* text = sent.text;
    code = sent.code;
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (code != 0) {
      std::fprintf(stderr, "mail with attachment failed: %d %s\n", code, text);
      return 1;
    }
    const long after = peakRssKiB();
    std::printf("%zu MiB attachment in %.3f s; peak RSS %.1f MiB, %.1f MiB above the data's own\n", mib, seconds,
                after / 1024.0, (after - before) / 1024.0);
    return 0;
  }
  return usage();
}
