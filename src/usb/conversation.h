// conversation.h - a board's conversation: what makes sure that every answer
// the library hands out is its own query's.
//
// Replies carry nothing that ties them to their query. They come in order,
// one per query, and only a ping's reply is 20 bytes long. So:
// - one exchange at a time talks to a board (its turn): in this process
//   through the board's entry below, and where the system lets other
//   processes open the same board (Windows), through a turn the backend
//   shares between processes;
// - a board that may still send a reply nobody waits for (a query's read
//   failed, a drain could not finish, a turn was abandoned by a process that
//   died) is marked, and the mark lives with the turn;
// - the next query on a marked board first brings the conversation back in
//   step (resynchronises): it sends a ping and drops whole packets until the
//   ping's 20-byte reply has come and the endpoint is quiet. The query after
//   that reads a whole packet, so a reply of another length is seen as such;
// - every transport that joins a board drains the endpoint first (a reply
//   another program left there is dropped);
// - an unmarked board costs nothing extra: the exchange runs as it always has.
#ifndef BREVANT_USB_CONVERSATION_H
#define BREVANT_USB_CONVERSATION_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace VESK {

class USBAPI;

// How many ping replies a mark keeps track of; past it the oldest is let go.
constexpr std::uint32_t kOwedPingsCap = 32;
// A ping's reply that has not come while the library waited this long on its
// board, with nothing coming at all, is taken as lost: the board never
// answered that ping (it was silent, or reset).
constexpr std::uint32_t kPingPresumedLostMs = 3000;

// What a board may still send that no exchange waits for. Replies come in
// order, and only a ping's is 20 bytes long, so what tells a resync that the
// conversation is in step again is the ping replies owed: each is followed
// until it comes or is taken as lost.
struct OwedReplies {
    std::uint32_t replies = 0;  // 0: the conversation is in step
    std::uint32_t pings = 0;    // how many of those are ping replies followed below
    // Whether the last report owed a reply for was a ping: its reply, when
    // it comes, ends what is owed, so a resync waits for it instead of
    // sending another (pings that were lost would otherwise pile up).
    std::uint32_t lastIsPing = 0;
    // For each, oldest first: how long the library has waited on the board
    // since the ping went out with nothing coming.
    std::uint32_t pingWaitedMs[kOwedPingsCap] = {};
};

// One physical board this process has open, told apart by the path its
// lookup found (the interface path, or the bus and port path). Every
// transport of the process with pipes on the board shares it.
struct BoardConversation {
    explicit BoardConversation(std::string boardPath) : path(std::move(boardPath)) {}
    ~BoardConversation();
    BoardConversation(const BoardConversation &) = delete;
    BoardConversation &operator=(const BoardConversation &) = delete;

    const std::string path;
    // Held from an exchange's first transfer to its last.
    std::mutex turn;
    // The mark, when no other process shares it. Written under `turn`.
    OwedReplies owedHere;
    // The backend's turn shared with other processes, with the mark inside
    // it; null where the system keeps other processes off an open board.
    void *sharedTurn = nullptr;
    // Whether the mark is set, readable without the turn (the registry keeps
    // an entry whose board owes a reply).
    std::atomic<bool> owes{false};
    // Transports with pipes on the board; guarded by the registry's lock.
    unsigned users = 0;
    // Set in a process forked from the one that made the entry: `turn` may
    // be held by a thread that the fork did not copy, so it is never taken
    // again, and its pipes reach nothing here.
    std::atomic<bool> leftByFork{false};
};

// Joins the board at `path` with `transport`, whose pipes are open on it,
// making the board's entry when the process has none, and drains the
// endpoint in the board's turn. Null when the board's turn cannot be shared
// with other processes (the transport must not talk to the board unguarded)
// or the drain found the board gone; the transport's pipes are then closed.
std::shared_ptr<BoardConversation> joinConversation(const std::string &path, USBAPI &transport);
// One user less. The entry is forgotten once nobody uses the board and it
// owes nothing; an owed reply keeps it until the board vanishes.
void leaveConversation(const std::shared_ptr<BoardConversation> &board);

// Entries the registry holds (for tests).
std::size_t knownBoards();

// One exchange's turn on the board of a transport whose pipes are open: while
// it lives, no other exchange of any process talks to that board. It keeps
// the board's entry alive even if the transport leaves it meanwhile.
class BoardTurn {
   public:
    explicit BoardTurn(const USBAPI &transport);
    ~BoardTurn();
    BoardTurn(const BoardTurn &) = delete;
    BoardTurn &operator=(const BoardTurn &) = delete;

    // False when the turn could not be had (another process kept it past
    // every bound): the exchange fails without touching the board.
    bool held() const { return held_; }

    // Before a query goes out: a marked board is brought back in step. False
    // when it could not be (the query must not go out; the board stays
    // marked). `wholePacket` says whether the query reads a whole packet.
    bool readyForQuery(USBAPI &transport, bool &wholePacket);
    // The query's read failed, or brought a reply that cannot be its own:
    // its reply (of `replyLength` bytes) may still come.
    void replyMayStillCome(std::uint32_t replyLength);
    // A read took a reply of `length` bytes that no query of this exchange
    // asked for (one the board owed): a ping's is counted off the mark.
    void replyTaken(std::uint32_t length);
    // The exchange's transfer found the board gone: it owes nothing more,
    // unless other transports of the process still have pipes on its path
    // (the board may be back under them, owing one of them a reply).
    void boardFoundGone();

    OwedReplies owed() const;
    void setOwed(const OwedReplies &owed);

   private:
    bool resynchronise(USBAPI &transport);

    std::shared_ptr<BoardConversation> board_;
    std::unique_lock<std::mutex> hold_;
    bool held_ = false;
    bool sharedHeld_ = false;
};

// The drain: short whole-packet reads take away replies left in the
// endpoint. Runs in the board's turn. False when the board was found gone
// (the transport's pipes are then closed).
bool drainBoard(USBAPI &transport, BoardTurn &turn);

// fork: the registry's lock is held across it, so the child finds it free.
// The child starts with no entries: those it inherited are marked left by
// the fork, as a turn held by another thread of the parent is never
// released here.
void holdConversationsForFork();
void releaseConversationsInParent();
void startConversationsInChild();

}  // namespace VESK

#endif
