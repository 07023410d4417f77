// Session set-up: the per-mail record with the local host name and the server's
// addresses (IPv4 and IPv6, in the resolver's order), found with the reentrant resolver. The
// record comes from the C heap, as its callers release it with free. The two halves apart: a
// mail over a kept connection needs the record but no lookup; a node looks its name up once.
#include <netdb.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "smtp_internal.h"

namespace smtp {

std::string localHostName() {
  char name[sizeof SmtpSession::localHostName] = "";
  ::gethostname(name, sizeof name - 1);
  return name;
}

SmtpSession* newSession(uint16_t port, int* error, std::string_view hostName) noexcept {
  std::unique_ptr<SmtpSession, decltype(&std::free)> session(
      static_cast<SmtpSession*>(std::calloc(1, sizeof(SmtpSession))), &std::free);
  if (!session) {
    *error = SMTP_TCPIP_NO_MEMORY;
    return nullptr;
  }
  if (hostName.empty()) {
    ::gethostname(session->localHostName, sizeof session->localHostName - 1);
  } else {
    std::memcpy(session->localHostName, hostName.data(), std::min(hostName.size(), sizeof session->localHostName - 1));
  }
  session->serverAddress.sin_family = AF_INET;
  session->serverAddress.sin_port = htons(port);
  if (port == 0) {
    *error = SMTP_TCPIP_BAD_PORT;
    return nullptr;
  }
  *error = 0;
  return session.release();
}

int resolveServer(SmtpSession& session, std::string_view serverName) noexcept {
  const uint16_t port = ntohs(session.serverAddress.sin_port);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  char name[NI_MAXHOST];
  if (serverName.empty() || serverName.size() >= sizeof name) return SMTP_TCPIP_HOST_UNKNOWN;
  std::memcpy(name, serverName.data(), serverName.size());
  name[serverName.size()] = '\0';
  if (::getaddrinfo(name, nullptr, &hints, &found) != 0 || found == nullptr) return SMTP_TCPIP_HOST_UNKNOWN;
  bool haveIpv4 = false;
  session.serverAddressCount = 0;
  for (const addrinfo* a = found; a != nullptr && session.serverAddressCount < SMTP_MAX_SERVER_ADDRESSES;
       a = a->ai_next) {
    if (a->ai_family != AF_INET && a->ai_family != AF_INET6) continue;
    if (a->ai_addrlen > sizeof session.serverAddresses[0]) continue;
    auto& slot = session.serverAddresses[session.serverAddressCount++];
    std::memcpy(&slot, a->ai_addr, a->ai_addrlen);
    // Both families keep the port at the same offset.
    slot.sin6_port = htons(port);
    if (a->ai_family == AF_INET && !haveIpv4) {
      session.serverAddress.sin_addr = reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr;
      haveIpv4 = true;
    }
  }
  ::freeaddrinfo(found);
  return session.serverAddressCount == 0 ? SMTP_TCPIP_HOST_UNKNOWN : 0;
}

SmtpSession* openSession(std::string_view serverName, uint16_t port, int* error, std::string_view hostName) noexcept {
  std::unique_ptr<SmtpSession, decltype(&std::free)> session(newSession(port, error, hostName), &std::free);
  if (!session) return nullptr;
  *error = resolveServer(*session, serverName);
  return *error == 0 ? session.release() : nullptr;
}

}  // namespace smtp
