/* The SMTP client's exported layer: session set-up, the command table with its reply codes
   and error texts, the dialogue, recipient and priority header lines, and the TCP transport.
   Error codes: 0 success, 100..105 TCP/IP and resources, 1000..1010 SMTP refusals,
   1100..1113 secure submission, kept connections, the trace, OAuth2 and client certificates
   (settings, TLS, AUTH, SMTPUTF8, pipelined replies out of step), 1120..1121 a provider's
   limits (settings, no connection free in time), -1 a reply the command's table entry does not
   list, or nothing received. */
#ifndef SENDMAIL_SIMPLESMTP_SMTP_H
#define SENDMAIL_SIMPLESMTP_SMTP_H

#include <netinet/in.h>
#include <stdint.h>

#include "sm_export.h"

SM_EXTERN_C_BEGIN

enum {
  SMTP_TCPIP_ERROR = 100,
  SMTP_TCPIP_BAD_PORT = 101,
  SMTP_TCPIP_HOST_UNKNOWN = 102,
  SMTP_TCPIP_NO_MORE_SOCKETS = 103,
  SMTP_TCPIP_CONNECTION_FAILED = 104,
  SMTP_TCPIP_NO_MEMORY = 105,
  SMTP_ANSWER_NOT_EXPECTED = 1000,
  SMTP_SERVICE_UNAVAILABLE = 1001,
  SMTP_CANNOT_EXECUTE = 1002,
  SMTP_NO_MIME = 1003,
  SMTP_REFUSED = 1004,
  SMTP_CANNOT_CONNECT = 1005,
  SMTP_COMMUNICATION_ERROR = 1006,
  SMTP_BAD_PARAMETERS = 1007,
  SMTP_LIMITS_EXCEEDED = 1008,
  SMTP_UNKNOWN_DESTINEE = 1009,
  SMTP_UNKNOWN_ON_SERVER = 1010,
  SMTP_BAD_SECURITY = 1100,
  SMTP_BAD_TLS_VERIFY = 1101,
  SMTP_BAD_TIMEOUT = 1102,
  SMTP_STARTTLS_NOT_OFFERED = 1103,
  SMTP_TLS_FAILED = 1104,
  SMTP_AUTH_NOT_OFFERED = 1105,
  SMTP_AUTH_UNENCRYPTED = 1106,
  SMTP_NO_SMTPUTF8 = 1107,
  SMTP_BAD_REUSE = 1108,
  SMTP_OUT_OF_STEP = 1109,
  SMTP_BAD_TLS_SETTINGS = 1110,
  SMTP_BAD_TRACE = 1111,
  SMTP_BAD_SETTINGS = 1112,
  SMTP_NO_TOKEN = 1113,
  SMTP_BAD_LIMITS = 1120,
  SMTP_NO_CONNECTION_FREE = 1121,
  SMTP_UNLISTED_REPLY = -1
};

enum { SMTP_MAX_SERVER_ADDRESSES = 8 };

/* One mail's connection parameters. serverAddress is the name's first IPv4 address (zero when
   it has none); serverAddresses holds every address found, IPv4 and IPv6, tried in turn. A
   record with serverAddressCount 0 connects to serverAddress alone. */
typedef struct SmtpSession {
  char localHostName[256];
  struct sockaddr_in serverAddress;
  void* serverHost; /* not used: the resolver's result is copied into the address fields */
  int32_t serverAddressCount;
  struct sockaddr_in6 serverAddresses[SMTP_MAX_SERVER_ADDRESSES]; /* IPv4 ones as sockaddr_in */
} SmtpSession;

typedef struct SmtpReplyCode {
  const char* code; /* three digits, or null to end the list */
  int32_t error;    /* 0 when the reply lets the session go on */
} SmtpReplyCode;

typedef struct SmtpProtoEntry {
  const char* command; /* printf-style; null for the greeting */
  SmtpReplyCode replies[16];
} SmtpProtoEntry;

/* Steps of SmtpProto. */
enum { SMTP_PROTO_STEPS = 10 };

/* Indexes into SmtpProto. */
enum {
  SMTP_PROTO_GREETING = 0,
  SMTP_PROTO_HELO = 1,
  SMTP_PROTO_MAIL = 2,
  SMTP_PROTO_MAIL_SIZE = 3,
  SMTP_PROTO_RCPT = 4,
  SMTP_PROTO_DATA = 5,
  SMTP_PROTO_END_OF_DATA = 6,
  SMTP_PROTO_VRFY = 7,
  SMTP_PROTO_QUIT = 8,
  SMTP_PROTO_REST = 9
};

SM_API extern const SmtpProtoEntry SmtpProto[SMTP_PROTO_STEPS];

SM_API SmtpSession* SmtpInit(const char* serverName, uint16_t port, int* error);
SM_API int SmtpCleanUp(void);
SM_API int SmtpSendMessage(SmtpSession* session, const char* from, const char* to, const char* cc,
                           const char* bcc, const char* subject, const char* date,
                           const char* messageId, const char* body, signed char priority,
                           const char** text);
SM_API int SmtpGetRc(SmtpProtoEntry entry, const char* reply);
SM_API const char* SMTPErrorString(int code);
SM_API const char* TCPIPErrorString(int code);

SM_API int SmtpSendRcpt(int socket, const char* list, char* replyBuffer);
SM_API int SmtpSendTo(int socket, const char* list);
SM_API int SmtpSendCc(int socket, const char* list);
SM_API int SmtpSendPriority(int socket, signed char priority);
SM_API int SmtpSendXPriority(int socket, signed char priority);
SM_API const char* GetPriorityName(signed char priority);

SM_API int TcpInit(void);
SM_API int TcpCleanUp(void);
SM_API int closesocket(int socket);
SM_API int TcpConnect(int* socket, SmtpSession* session);
SM_API int TcpClose(int socket);
SM_API int TcpSend(int socket, const char* data, int length);
SM_API int TcpRecv(int socket, char* buffer, int size);
SM_API int SmtpTcpSend(int socket, const char* data, int length);

SM_EXTERN_C_END

#endif
