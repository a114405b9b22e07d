/// @file
/// DNS service records (SRV, RFC 2782) through c-ares, with the nameservers given by the caller
/// or the system's.
#pragma once

#include <string>
#include <vector>

#include "DvSysUtils.h"

namespace dv {

/// One service record, as the answer lists it.
struct TDvDNSServiceRecord {
  std::string Target;  ///< the host offering the service, without the final dot
  int Port = 0;
  int Priority = 0;
  int Weight = 0;
};

/// A lookup that could not be made at all (the resolver could not start, or the nameserver list
/// is malformed). A name without records is not an error.
class EDvDNSException : public Exception {
 public:
  using Exception::Exception;
};

/// The SRV records of a name in the order of the answer; empty when the name has none, does not
/// exist, or no nameserver answered within `timeoutMs`. `servers` is a comma-separated list of
/// "host[:port]" ("127.0.0.1:5353"); empty: the nameservers of /etc/resolv.conf.
std::vector<TDvDNSServiceRecord> DvDNSQueryServiceRecords(const std::string& name,
                                                          const std::string& servers = {},
                                                          int timeoutMs = 1000);

}  // namespace dv
