/* Every exported header, compiled by the C compiler (C11, warnings as errors): the build fails
   when one of them stops being C. */
#include "SendMailPlugIn.h"
#include "SendMessage.h"
#include "SimpleSMTP/smtp.h"
#include "TvlSampPluginUtil.h"
#include "host/cni_host.h"
#include "node_utils.h"
#include "sm_export.h"
