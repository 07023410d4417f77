// Session set-up and shut-down: the per-mail record with the local host name and the server's
// first IPv4 address, found with the reentrant resolver. The record comes from the C heap, as
// its callers release it with free.
#include <netdb.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "smtp_internal.h"

extern "C" {

SM_API SmtpSession* SmtpInit(const char* serverName, uint16_t port, int* error) {
  int ignored = 0;
  if (error == nullptr) error = &ignored;
  if (TcpInit() != 0) {
    *error = SMTP_TCPIP_ERROR;
    return nullptr;
  }
  std::unique_ptr<SmtpSession, decltype(&std::free)> session(
      static_cast<SmtpSession*>(std::calloc(1, sizeof(SmtpSession))), &std::free);
  if (!session) {
    *error = SMTP_TCPIP_NO_MEMORY;
    return nullptr;
  }
  ::gethostname(session->localHostName, sizeof session->localHostName - 1);
  session->serverAddress.sin_family = AF_INET;
  session->serverAddress.sin_port = htons(port);
  if (port == 0) {
    *error = SMTP_TCPIP_BAD_PORT;
    return nullptr;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (serverName == nullptr || *serverName == '\0' ||
      ::getaddrinfo(serverName, nullptr, &hints, &found) != 0 || found == nullptr) {
    *error = SMTP_TCPIP_HOST_UNKNOWN;
    return nullptr;
  }
  session->serverAddress.sin_addr = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
  ::freeaddrinfo(found);
  *error = 0;
  return session.release();
}

SM_API int SmtpCleanUp(void) { return TcpCleanUp(); }

}  // extern "C"
