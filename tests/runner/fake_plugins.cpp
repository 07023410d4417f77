// Libraries that look like plug-ins but are not usable ones, for the runner's load errors:
// built once with FAKE_NO_ENTRY_POINT (no entry point at all) and once without (an entry
// point that makes a factory but defines no node class).
#include "host/cni_host.h"

#ifdef FAKE_NO_ENTRY_POINT
extern "C" __attribute__((visibility("default"))) int notAnEntryPoint() { return 0; }
#else
extern "C" __attribute__((visibility("default"))) CciFactory* tvlGetMessageflowNodeFactory() {
  static const CciChar name[] = {u'F', u'a', u'k', u'e', 0};
  int rc = 0;
  return cniCreateNodeFactory(&rc, name);
}
#endif
