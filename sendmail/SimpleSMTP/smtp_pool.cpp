// The node's pool of kept connections: an evaluation takes an idle connection to its server that
// authenticated as its mail would (or opens one) and gives it back after its mail, so no
// connection serves two mails at once. Which
// connection may serve again (fit, not idle too long, not past its mails), the one retry of a
// mail whose kept connection had died, and the goodbye when the node goes.
#include <openssl/evp.h>
#include <poll.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "smtp_connection.h"

namespace smtp {

struct ConnectionPool::Impl {
  struct Kept {
    template <typename... Args>
    explicit Kept(std::string k, Args&&... args)
        : key(std::move(k)), connection(std::forward<Args>(args)...) {}
    std::string key;  // the server it talks to, and whose token it authenticated with
    Connection connection;
    int mails = 0;
    std::chrono::steady_clock::time_point lastUse;
  };
  int maxMails;
  Millis idle;
  std::mutex lock;
  std::vector<std::unique_ptr<Kept>> kept;  // idle ones only, the freshest last

  // An idle connection to the server that is still fit, or null. Those the server closed or
  // wrote to are closed; those past their idle time get QUIT first, whose reply nobody waits for.
  std::unique_ptr<Kept> take(const std::string& key) {
    for (;;) {
      std::unique_ptr<Kept> k;
      {
        const std::lock_guard<std::mutex> guard(lock);
        const auto found =
            std::find_if(kept.rbegin(), kept.rend(), [&](const auto& p) { return p->key == key; });
        if (found == kept.rend()) return nullptr;
        k = std::move(*found);
        kept.erase(std::next(found).base());
      }
      if (!k->connection.quiet()) continue;  // closed without QUIT: nobody would read it
      if (std::chrono::steady_clock::now() - k->lastUse <= idle) return k;
      k->connection.quit();
    }
  }
  void give(std::unique_ptr<Kept> k) {
    k->lastUse = std::chrono::steady_clock::now();
    k->connection.attach(nullptr);
    const std::lock_guard<std::mutex> guard(lock);
    kept.push_back(std::move(k));
  }

  // deliverKept, below: the contract is in smtp_connection.h.
  Outcome deliver(SmtpSession& session, const SubmitOptions& options, std::string_view host,
                  const MailText& mail, std::string_view envelope, char* reply, std::string_view token,
                  bool ownToken) {
    std::string key(host);
    key.append("/").append(std::to_string(ntohs(session.serverAddress.sin_port)));
    // A message's own token never rides on a connection another token opened: its digest is in
    // the key (the node's token is one credential, whichever renewal of it opened the connection).
    if (ownToken) {
      unsigned char digest[EVP_MAX_MD_SIZE];
      unsigned int size = 0;
      EVP_Digest(token.data(), token.size(), digest, &size, EVP_sha256(), nullptr);
      key.append("/");
      for (unsigned int i = 0; i < size; ++i) key.append({"0123456789abcdef"[digest[i] >> 4], "0123456789abcdef"[digest[i] & 15]});
    }
    bool resolved = session.serverAddressCount > 0;
    for (bool retried = false;; retried = true) {
      std::unique_ptr<Kept> k = retried ? nullptr : take(key);
      const bool reused = k != nullptr;
      if (reused) {
        k->connection.attach(reply);
      } else {
        if (!resolved) {
          if (const int rc = resolveServer(session, host); rc != 0)
            return {rc, errorText(rc)};
          resolved = true;
        }
        k = std::make_unique<Kept>(key, session, options, host, reply);
        if (const Outcome o = k->connection.open(token); o.code != 0) return o;
      }
      const Outcome o = k->connection.transaction(mail, envelope);
      const After after = k->connection.after();
      if (o.code == 0) {
        if (++k->mails >= maxMails) {
          k->connection.quit();
        } else {
          give(std::move(k));
        }
        return o;
      }
      if (reused && after == After::Dead) continue;  // a retry never reuses
      if (after == After::Synced && k->connection.reset()) give(std::move(k));
      return o;
    }
  }
};

ConnectionPool::ConnectionPool(int maxMails, Millis idle)
    : impl_(new Impl{maxMails, idle, {}, {}}) {}

// Every kept connection gets QUIT at once, then one wait of at most a second for all their
// answers together before they close: removing a node never waits on a server connection by
// connection, and a server that ignores QUIT holds it one second at most.
ConnectionPool::~ConnectionPool() {
  constexpr Millis kGoodbye{1000};
  for (auto& k : impl_->kept) k->connection.quit();
  try {
    std::vector<pollfd> waiting;
    for (const auto& k : impl_->kept) waiting.push_back({k->connection.descriptor(), POLLIN, 0});
    const auto deadline = std::chrono::steady_clock::now() + kGoodbye;
    while (!waiting.empty()) {
      const auto left = std::chrono::ceil<Millis>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || ::poll(waiting.data(), waiting.size(), static_cast<int>(left.count())) < 0) break;
      std::erase_if(waiting, [](const pollfd& p) { return p.revents != 0; });
    }
  } catch (...) {  // no memory to wait with: they close at once
  }
}  // the connections close with the pool

Outcome deliverKept(ConnectionPool& pool, SmtpSession& session, const SubmitOptions& options,
                    std::string_view host, const MailText& mail, std::string_view envelope, char* reply,
                    std::string_view token, bool ownToken) {
  return pool.impl().deliver(session, options, host, mail, envelope, reply, token, ownToken);
}

}  // namespace smtp
