#include "DvDNS.h"

#include <ares.h>
#include <arpa/nameser.h>
#include <poll.h>

#include <chrono>
#include <mutex>

namespace dv {

namespace {

struct Lookup {
  bool done = false;
  std::vector<TDvDNSServiceRecord> records;
};

void OnAnswer(void* arg, int status, int /*timeouts*/, unsigned char* answer, int length) {
  auto& lookup = *static_cast<Lookup*>(arg);
  lookup.done = true;
  if (status != ARES_SUCCESS) return;
  ares_srv_reply* replies = nullptr;
  if (ares_parse_srv_reply(answer, length, &replies) != ARES_SUCCESS) return;
  for (ares_srv_reply* r = replies; r != nullptr; r = r->next)
    lookup.records.push_back({r->host != nullptr ? r->host : "", r->port, r->priority, r->weight});
  ares_free_data(replies);
}

// c-ares keeps process-wide state that must be set up once.
void InitLibrary() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (ares_library_init(ARES_LIB_INIT_ALL) != ARES_SUCCESS)
      throw EDvDNSException("The DNS resolver could not be initialised");
  });
}

}  // namespace

std::vector<TDvDNSServiceRecord> DvDNSQueryServiceRecords(const std::string& name,
                                                          const std::string& servers,
                                                          int timeoutMs) {
  InitLibrary();
  // Declared before the channel: destroying the channel calls the callback of a pending query.
  Lookup lookup;
  ares_options options{};
  options.timeout = timeoutMs;
  options.tries = 1;
  ares_channel channel = nullptr;
  if (ares_init_options(&channel, &options, ARES_OPT_TIMEOUTMS | ARES_OPT_TRIES) != ARES_SUCCESS)
    throw EDvDNSException("The DNS resolver could not be initialised");
  struct Release {
    ares_channel c;
    ~Release() { ares_destroy(c); }
  } release{channel};
  if (!servers.empty() && ares_set_servers_ports_csv(channel, servers.c_str()) != ARES_SUCCESS)
    throw EDvDNSException("Invalid DNS server list \"" + servers + "\"");

  ares_query(channel, name.c_str(), ns_c_in, ns_t_srv, &OnAnswer, &lookup);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!lookup.done) {
    ares_socket_t sockets[ARES_GETSOCK_MAXNUM];
    const int mask = ares_getsock(channel, sockets, ARES_GETSOCK_MAXNUM);
    std::vector<pollfd> fds;
    for (int i = 0; i < ARES_GETSOCK_MAXNUM; ++i) {
      short events = 0;
      if (ARES_GETSOCK_READABLE(mask, i)) events |= POLLIN;
      if (ARES_GETSOCK_WRITABLE(mask, i)) events |= POLLOUT;
      if (events != 0) fds.push_back({sockets[i], events, 0});
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (fds.empty() || left <= 0) break;
    poll(fds.data(), fds.size(), static_cast<int>(std::min<long long>(left, 100)));
    bool any = false;
    for (const pollfd& p : fds) {
      const bool readable = (p.revents & (POLLIN | POLLERR | POLLHUP)) != 0;
      const bool writable = (p.revents & POLLOUT) != 0;
      if (readable || writable) {
        any = true;
        ares_process_fd(channel, readable ? p.fd : ARES_SOCKET_BAD,
                        writable ? p.fd : ARES_SOCKET_BAD);
      }
    }
    // Lets c-ares run its own time-outs and retries.
    if (!any) ares_process_fd(channel, ARES_SOCKET_BAD, ARES_SOCKET_BAD);
  }
  return lookup.records;
}

}  // namespace dv
