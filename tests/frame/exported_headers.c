/* Every exported header, compiled by the C compiler: the build fails when one of them stops
   being C. The table below also takes each entry point's address through its C declaration. */
#include "SendMailPlugIn.h"
#include "SendMessage.h"
#include "SimpleSMTP/smtp.h"
#include "TvlSampPluginUtil.h"
#include "host/cni_host.h"
#include "node_utils.h"
#include "sm_export.h"

typedef void (*AnyFunction)(void);

const AnyFunction exportedFromC[] = {
    (AnyFunction)tvlGetMessageflowNodeFactory, (AnyFunction)createNodeContext,
    (AnyFunction)evaluate,                     (AnyFunction)readElementText,
    (AnyFunction)CciString,                    (AnyFunction)UnicodeToASCII,
    (AnyFunction)NodeStringBufferAlloc,        (AnyFunction)SendEmailMessage,
    (AnyFunction)SmtpSendMessage,              (AnyFunction)TcpRecv,
};
