// Opening a URL in a build without libcurl: refused with a message that says why.
#include "faidx/faidx.hpp"
#include "faidx/remote/url.hpp"

namespace tavlo {

Status Faidx::open_url() {
  return FaidxError::io(redact_url(options_.filename) +
                        ": this build of tavlo reads no URLs (it was built without libcurl; "
                        "install libcurl4-openssl-dev and build it again)");
}

}  // namespace tavlo
