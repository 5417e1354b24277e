// What a message reaches outside itself: the queue that holds it, the user's
// repository of queues, and the restructuring of its body after a parse.
//
// Those units build on the message, so the message sees them only through
// these small bases; the queue, the repository and the body restructuring
// derive from them (or install themselves here) and the message calls
// nothing else of them.
//
// Lock order: repository registry, repository, queue, message, accounts. The
// message calls the repository and a queue's Obliterate and Snapshot only
// with its own lock released; NewFileName is the one call it makes while
// holding it, so a queue answers it without taking its own lock.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace halvorn {

class TEmailMsg;
using TEmailMsgRef = std::shared_ptr<TEmailMsg>;

// A message queue as the message sees it.
class TEmailMsgListBase {
 public:
  virtual ~TEmailMsgListBase() = default;

  // Adds the message at the end (or keeps its place when it is there),
  // takes it out of the queue that held it, moves its file into this queue's
  // folder and makes this queue its list (TEmailMsg::SetList). Answers its
  // index. TEmailMsg::Create calls it with the new message.
  virtual int Add(const TEmailMsgRef& msg) = 0;
  // A free path for the message's file in the queue's folder (from its
  // subject); empty when the queue has no folder. Called while the message's
  // lock is held: it must take no queue lock.
  virtual std::string NewFileName(TEmailMsg& msg) = 0;
  // Removes the message for good (its UIDL state, its flag, its file, its
  // place); false when the queue does not hold it.
  virtual bool Obliterate(const TEmailMsgRef& msg, bool deleteRemote,
                          const std::string& reason) = 0;
  // The messages of the queue in order, each held by the caller.
  virtual std::vector<TEmailMsgRef> Snapshot() = 0;
};

// A user's repository of queues as the message sees it.
class TMessageRepositoryBase {
 public:
  virtual ~TMessageRepositoryBase() = default;

  // Holds the message in the Pendhold queue with the reason; false when a
  // step fails.
  virtual bool SendToPendhold(const TEmailMsgRef& msg, const std::string& reason) = 0;
  // Moves the message to the Trash queue, storing the deletion code and
  // reason in it.
  virtual bool SendToTrash(const TEmailMsgRef& msg, std::uint8_t code,
                           const std::string& reason) = 0;
  // The held-mail queue and the trash queue.
  virtual TEmailMsgListBase* Pendhold() = 0;
  virtual TEmailMsgListBase* Trash() = 0;
};

// How the repository of a user name is found: installed by the repository
// registry; without one, a message has no repository.
using TMessageRepositoryLookup = std::function<TMessageRepositoryBase*(const std::string& userName)>;
void SetMessageRepositoryLookup(TMessageRepositoryLookup lookup);
// The repository of the user; null when none is installed. It lives as long
// as the program. Call it holding no message lock.
TMessageRepositoryBase* FindMessageRepository(const std::string& userName);

// The two steps of body restructuring that end every parse (under the
// message's lock): adding a text part to a message that has none, and
// recomputing the body-structure flags (TEmailMsg::SetBodyFlags). Unless
// another is installed, the message's own (MessageBodyRestructuring,
// body_restructuring.h) runs them.
class TBodyRestructuring {
 public:
  virtual ~TBodyRestructuring() = default;
  virtual void EnsureTextPart(TEmailMsg& msg) = 0;
  virtual void AnalyzeTextParts(TEmailMsg& msg) = 0;
};
// Installs an implementation (null restores the message's own).
void SetBodyRestructuring(std::shared_ptr<TBodyRestructuring> restructuring);
std::shared_ptr<TBodyRestructuring> GetBodyRestructuring();

}  // namespace halvorn
