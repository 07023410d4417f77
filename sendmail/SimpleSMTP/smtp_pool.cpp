// The node's pool of kept connections: an evaluation takes an idle connection to its server that
// authenticated as its mail would (or opens one) and gives it back after its mail, so no
// connection serves two mails at once. Which connection may serve again (fit, not idle too long,
// not past its mails), the one retry of a mail whose kept connection had died, the goodbye when
// the node goes; and the cap on the node's open connections (MaxConnections), whatever credential
// they authenticated with, with its queue of evaluations waiting for one.
#include <openssl/evp.h>
#include <poll.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <list>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "smtp_connection.h"

namespace smtp {

using Clock = std::chrono::steady_clock;

struct ConnectionPool::Impl {
  struct Kept {
    template <typename... Args>
    Kept(ConnectionSlot s, std::string k, Args&&... args)
        : slot(std::move(s)), key(std::move(k)), connection(std::forward<Args>(args)...) {}
    ConnectionSlot slot;  // given back once the connection below has closed
    std::string key;  // the server it talks to, and whose token it authenticated with
    Connection connection;
    int mails = 0;
    Clock::time_point lastUse;
  };
  // An evaluation waiting for a connection under the cap: it gets a kept one given back for its
  // server, or the place of one that closed.
  struct Waiter {
    std::string_view key;
    bool reuse;
    std::unique_ptr<Kept> handed;
    bool granted = false;
    std::condition_variable wake;
  };
  int maxMails;
  Millis idle;
  int most;  // the cap; 0 for none
  std::mutex lock;
  std::vector<std::unique_ptr<Kept>> kept;  // idle ones only, the freshest last
  int open = 0;                             // with a cap: the node's open connections, kept ones included
  std::list<Waiter*> waiting;               // first come, first served

  // A connection that held a place has closed: the first waiter takes its place.
  void closed() {
    const std::lock_guard<std::mutex> guard(lock);
    if (waiting.empty()) {
      --open;
      return;
    }
    Waiter* first = waiting.front();
    waiting.pop_front();
    first->granted = true;
    first->wake.notify_one();
  }

  // An idle connection to the server (when `reuse`) that is still fit, or the place for a new
  // one (an empty slot without a cap); nothing when the cap kept it waiting past `deadline`.
  // Idle ones the server closed or wrote to are closed; those past their idle time get QUIT
  // first, whose reply nobody waits for.
  struct Obtained {
    std::unique_ptr<Kept> kept;
    std::optional<ConnectionSlot> slot;
  };
  Obtained obtain(const std::string& key, bool reuse, Clock::time_point deadline) {
    // Closed on this mail's thread: under the cap each close waits for the server's, but never
    // past the mail's own deadline, however many there are.
    const auto closeWithin = [&](Kept& k) {
      const Millis left = std::chrono::ceil<Millis>(deadline - Clock::now());
      if (most > 0) k.connection.lingerOnClose(std::clamp(left, Millis{0}, kCloseWait));
    };
    const auto close = [&](Kept& k) {
      closeWithin(k);
      k.connection.quit();
    };
    for (;;) {
      std::unique_ptr<Kept> k, evicted;
      {
        std::unique_lock<std::mutex> guard(lock);
        const auto fits = [&](const auto& p) { return p->key == key; };
        if (const auto found = std::find_if(kept.rbegin(), kept.rend(), fits); reuse && found != kept.rend()) {
          k = std::move(*found);
          kept.erase(std::next(found).base());
        } else if (most == 0) {
          return {nullptr, ConnectionSlot()};
        } else if (waiting.empty() && open < most) {
          ++open;
          return {nullptr, ConnectionSlot(this)};
        } else if (!kept.empty()) {
          // Idle, and not for this mail: the oldest closes, and its place goes to the first
          // waiting (maybe this one).
          evicted = std::move(kept.front());
          kept.erase(kept.begin());
        } else {
          Waiter self{key, reuse, nullptr, false, {}};
          waiting.push_back(&self);
          if (!self.wake.wait_until(guard, deadline, [&] { return self.granted || self.handed != nullptr; })) {
            waiting.remove(&self);
            return {nullptr, std::nullopt};
          }
          if (self.granted) return {nullptr, ConnectionSlot(this)};
          return {std::move(self.handed), std::nullopt};  // just given back: fresh
        }
      }
      if (evicted) {
        close(*evicted);
        continue;  // its close gives its place back
      }
      if (!k->connection.quiet()) {  // closed without QUIT: nobody would read it
        closeWithin(*k);
        continue;
      }
      if (Clock::now() - k->lastUse <= idle) return {std::move(k), std::nullopt};
      close(*k);
    }
  }

  // After a mail: to the first evaluation waiting for this server, else kept idle; but while
  // others wait for a place, it makes room for them instead.
  void give(std::unique_ptr<Kept> k) {
    k->lastUse = Clock::now();
    k->connection.attach(nullptr);
    std::unique_ptr<Kept> surplus;
    {
      const std::lock_guard<std::mutex> guard(lock);
      const auto wants = [&](const Waiter* w) { return w->reuse && w->key == k->key; };
      if (const auto w = std::find_if(waiting.begin(), waiting.end(), wants); w != waiting.end()) {
        (*w)->handed = std::move(k);
        (*w)->wake.notify_one();
        waiting.erase(w);
        return;
      }
      if (waiting.empty()) {
        kept.push_back(std::move(k));
        return;
      }
      surplus = std::move(k);
    }
    surplus->connection.quit();
  }

  // noConnectionFree, below: the contract is in smtp_connection.h.
  Outcome noneFree(std::string_view host, uint16_t port, Millis waited, char* reply) const noexcept {
    // Where, as the other failures to connect name it, and how long the mail waited for how many.
    const bool literal6 = host.find(':') != std::string_view::npos;
    std::snprintf(reply, kReplyBufferSize, "%s: %s%.*s%s:%u: none of %d came free within %s",
                  errorText(SMTP_NO_CONNECTION_FREE), literal6 ? "[" : "", static_cast<int>(host.size()), host.data(),
                  literal6 ? "]" : "", static_cast<unsigned>(port), most, boundText(waited).c_str());
    return {SMTP_NO_CONNECTION_FREE, reply, kConnectStep};
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
    const Millis bound = Bounds{options.timeout}.connect();
    const Clock::time_point deadline = Clock::now() + bound;
    for (bool retried = false;; retried = true) {
      // The try on a new connection is the pool's own (the kept one had died or was closing): not
      // one of the mail's attempts, but a start the server sees, so it takes a turn of its own.
      if (retried && options.rate != nullptr) options.rate->awaitTurn();
      Obtained got = obtain(key, !retried, deadline);  // a retry never reuses
      std::unique_ptr<Kept> k = std::move(got.kept);
      const bool reused = k != nullptr;
      if (reused) {
        k->connection.attach(reply);
      } else {
        if (!got.slot) return noneFree(host, ntohs(session.serverAddress.sin_port), bound, reply);
        if (!resolved) {
          if (const int rc = resolveServer(session, host); rc != 0) return {rc, errorText(rc), kConnectStep};
          resolved = true;
        }
        k = std::make_unique<Kept>(std::move(*got.slot), key, session, options, host, reply);
        if (most > 0) k->connection.lingerOnClose(kCloseWait);
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
      if (reused && !retried && after == After::Dead) continue;
      if (after == After::Synced && k->connection.reset()) give(std::move(k));
      return o;
    }
  }
};

ConnectionSlot::~ConnectionSlot() {
  if (pool_ != nullptr) pool_->closed();
}

std::optional<ConnectionSlot> awaitSlot(ConnectionPool& pool, Clock::time_point deadline) {
  return pool.impl().obtain({}, false, deadline).slot;
}

Outcome noConnectionFree(ConnectionPool& pool, std::string_view host, uint16_t port, Millis waited, char* reply) noexcept {
  return pool.impl().noneFree(host, port, waited, reply);
}

ConnectionPool::ConnectionPool(int maxMails, Millis idle, int most)
    : impl_(new Impl{maxMails, idle, most, {}, {}, 0, {}}) {}

// Every kept connection gets QUIT at once, then one wait of at most a second for all their
// answers together before they close: removing a node never waits on a server connection by
// connection, and a server that ignores QUIT holds it one second at most.
ConnectionPool::~ConnectionPool() {
  constexpr Millis kGoodbye{1000};
  for (auto& k : impl_->kept) {
    k->connection.quit();
    k->connection.lingerOnClose(Millis{0});  // the wait below is the only one
  }
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
  impl_->kept.clear();  // now: their places go back to the pool's count, which goes after them
}

Outcome deliverKept(ConnectionPool& pool, SmtpSession& session, const SubmitOptions& options,
                    std::string_view host, const MailText& mail, std::string_view envelope, char* reply,
                    std::string_view token, bool ownToken) {
  return pool.impl().deliver(session, options, host, mail, envelope, reply, token, ownToken);
}

}  // namespace smtp
