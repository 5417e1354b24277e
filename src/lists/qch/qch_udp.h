// The UDP report path to the central service and the global stop codes.
//
// Any thread may send a report. The UDP lock ("QchUdpCriticalSection") is
// only ever tried: a sender that finds another one sending puts its datagram
// into the queue (under "QchUdpListCriticalSection") and returns; the queue
// leaves with the next send or receive. At most once in 5000 ms a send first
// polls the service for new stop codes. Nothing is retried, and nothing of a
// failed send reaches the caller: when the stop codes ask for some reports
// over UDP, a failure makes them ask for none (ResetTransUdpMin).
//
// The stop codes are an immutable object swapped whole under a leaf lock:
// readers keep the copy they got for as long as they use it, so a
// replacement never changes what a reader is reading. Only a kind-1 datagram
// of at least 39 bytes (every field present) replaces them, from the UDP
// poll or from a TCP reply; a shorter one is logged and dropped.
//
// The service host is resolved at each send (qch_service.h); an unresolved
// host is a failed send.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "foundation/threads/mutex_critical_section.h"
#include "lists/qch/qch_udp_msg.h"

namespace halvorn {

// Sends the datagram to the service, or queues it while another thread
// sends; the caller hands it over in every case. Never raises except
// EThreadAbandoned for an abandoned worker.
void QchUdpSend(std::unique_ptr<TQchUdpMsg> datagram);

// One datagram from the service, parsed, after the queue was flushed; none
// when another thread holds the UDP lock, nothing arrived within `waitMs`,
// the host is unresolved, the read failed, or the kind is none of 1 to 9.
// Never raises except EThreadAbandoned.
std::unique_ptr<TQchUdpMsg> QchUdpReceive(int waitMs);

// The stop codes in force. Never null.
std::shared_ptr<const TStopCodesQchUdpMsg> QchStopCodes();
// Replaces them with the bytes when they are a kind-1 datagram of at least
// TStopCodesQchUdpMsg::kMinReceivedSize bytes and answers true; otherwise
// logs (naming `source`) and answers false, the stop codes unchanged.
bool ReplaceQchStopCodes(std::string_view bytes, const std::string& source);
// Replaces them unchecked (tests, and the program's own changes).
void SetQchStopCodes(std::shared_ptr<const TStopCodesQchUdpMsg> stopCodes);

// The poll switch: the send path polls for stop codes while it is on (on at
// module start).
void SetQchUdpPolling(bool on);

// The number of datagrams waiting in the queue.
std::size_t QchUdpQueueCount();
// The most datagrams the queue keeps; a datagram that finds it full is
// dropped (logged once until the queue has room again).
inline constexpr std::size_t kMaxQchUdpQueue = 1000;

// Module start: stop codes at their defaults, polling on, no poll yet, an
// empty queue. Module end: the UDP client and the queue freed.
void StartQchUdp();
void EndQchUdp();

// Test seams. The least time between two polls in the send path (5000 ms
// unless set; a negative value restores that); 0 polls at every send.
void SetQchUdpPollIntervalForTests(int ms);
// The UDP lock, for a test that holds it on another thread to make senders
// queue.
TMutexCriticalSection& QchUdpLockForTests();

}  // namespace halvorn
