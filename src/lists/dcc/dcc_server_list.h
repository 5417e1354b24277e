// The DCC server list: host names (one server host per line, stored as the
// comma text "Servers" of the settings' section "DCC"), each resolved to
// its addresses, one TDccServer per address that answered a NOP; and the
// choice of the best server for a message.
//
// Every change of the hosts resolves the whole list again (addresses that
// have a server already are skipped); servers are never removed. An empty
// list falls back to the 11 built-in public hosts.
//
// Guard. The checksums this program computes are not DCC's own
// (DccChecksumsArePublic false): asking the public servers would hand them
// digests of the user's mail for nothing. So while that holds, servers exist
// only for addresses in 127.0.0.0/8 (a local DCC server): a dotted host
// outside it is skipped and logged, a name's other addresses likewise, and
// the built-in public hosts are kept and shown but never resolved nor asked.
// Nothing, NOP included, goes anywhere else. While network tests are off the
// hosts are kept and nothing is resolved, pinged or asked.
//
// Threads. The servers are an immutable snapshot swapped under a leaf lock
// ("DccServerList_CS") that also guards the hosts: the resolving thread
// appends while the DCC test chooses among the servers it got. Resolving is
// one at a time (an atomic flag); a list being freed first stops its
// resolving threads.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "foundation/text/string_list.h"
#include "foundation/threads/mutex_critical_section.h"
#include "foundation/threads/quor_thread.h"
#include "lists/dcc/dcc_server.h"

namespace halvorn {

using TDccServerRef = std::shared_ptr<TDccServer>;
using TDccServers = std::shared_ptr<const std::vector<TDccServerRef>>;

// The built-in public DCC hosts.
const std::vector<std::string>& DefaultDccHosts();

class TDccServerList {
 public:
  TDccServerList();
  // Stops the resolving threads (waiting up to 500 ms), then frees the
  // servers that no snapshot holds any more.
  ~TDccServerList();
  TDccServerList(const TDccServerList&) = delete;
  TDccServerList& operator=(const TDccServerList&) = delete;

  // Sets the hosts from the comma text (the built-in hosts when it leaves
  // none) and resolves them: on a TSetServerCommaTextThread when threaded,
  // else at once on the calling thread.
  void SetServerCommaText(bool threaded, const std::string& commaText);
  // The hosts as comma text, and as lines.
  std::string HostsCommaText() const;
  TStringList Hosts() const;
  // Sets the built-in hosts and resolves them.
  void LoadDefaultDccServers();

  // The servers as they stand (never null).
  TDccServers Servers() const;
  int Count() const;
  TDccServerRef Items(int index) const;
  int IndexOfServerId(std::int32_t id) const;
  int IndexOfServerIP(std::uint32_t address) const;
  // The brand of the last server with that id; empty when none.
  std::string GetServerBrand(std::int32_t id) const;

  // The server to ask about the record: the best cache score (not -1), else
  // one with the same record pending, else the best reply ratio (not 0),
  // else the smallest delay; the first among equals; null without servers.
  TDccServerRef GetBestServer(const TDccChecksums& record) const;
  TDccServerRef RandomServer() const;

  // Resolves the host and adds a server for every new allowed address that
  // answers its NOP; answers how many new addresses were tried.
  int AddServersForHost(const std::string& host);
  // Resolves every host in order (unless another resolution runs).
  void HostsChanged();
  bool Resolving() const { return FResolving.load(); }

 private:
  void SetHosts(const TStringList& hosts);
  void AppendServer(TDccServerRef server);

  mutable TMutexCriticalSection FLock{"DccServerList_CS"};
  TDccServers FServers;
  TStringList FHosts;
  std::vector<TThreadHandle> FThreads;
  std::atomic<bool> FResolving{false};
};

// Sets a list's hosts from a comma text on a thread of its own and resolves
// them; frees itself when done; any error ends it quietly.
class TSetServerCommaTextThread : public TQuorThread {
 public:
  TSetServerCommaTextThread(TDccServerList& list, std::string commaText);

 protected:
  void Execute() override;

 private:
  TDccServerList& FList;
  std::string FCommaText;
};

// The program's one list: made by the lists module's start (empty), freed at
// its end. Null outside that time. Safe from any thread.
std::shared_ptr<TDccServerList> GlobalDccServerList();
void SetGlobalDccServerList(std::shared_ptr<TDccServerList> list);

}  // namespace halvorn
