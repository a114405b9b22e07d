#include "uDvEWSVersion.h"

#include "uDvEWSVersionInfo.h"

namespace dv {

const char* DvEWSVersion() {
  return DVEWS_VERSION_TEXT;
}

const char* DvEWSBuild() {
  return DVEWS_BUILD_TEXT;
}

}  // namespace dv
