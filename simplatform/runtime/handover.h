// Records handed over to the program, and the end of a loop turn.
//
// Records that the platform returns to the program (lists, SymbolInfo,
// FieldValue, ...) are never given back by it. The platform keeps them and
// releases them when the handler that received them has returned: at the
// end of the loop turn, and before the loop waits for the next message
// (records returned outside any handler). No handler keeps a returned
// record past its own return, so memory is bounded by what one handler
// asks for, not by how many ran since the program last asked for a message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace simplatform {

void keepUntilNextMessage(std::function<void()> release);
void releaseReturnedRecords();

// The end of a turn, in this order: the work that shows and stores the
// turn's changes (Store: console lines, the store's records), the flush of
// what was stored when the turn asked for one (flushAtTurnEnd), the work
// that answers (Answer: informs' Responses, sent only once what they
// changed is on the disk), and last the release of the records handed over.
enum class TurnPhase : std::uint8_t {
    Store,
    Answer,
};

// Asks for task to run once in the given phase of the end of the current
// turn, after its handlers: asked for again in the same turn, it still runs
// once. A turn the program ends with exit() still runs it.
void atTurnEnd(void (*task)(), TurnPhase phase = TurnPhase::Store);

// What puts the turn's stored changes on the disk: the store's flush, set
// by the wiring while a state file is kept (null: none).
void setTurnFlush(void (*flush)());
bool turnFlushSet();
// Asks for the flush at the end of this turn, after its Store phase and
// before its Answer phase. Nothing happens without a flush set.
void flushAtTurnEnd();

// Ends a turn: runs the tasks asked for, phase by phase, then releases the
// records handed over. The message loop calls it when a message's handlers
// have returned and before it hands out the next message; tests call it in
// its place.
void endTurn();

// Keeps record alive until the end of the turn.
template <typename Record> Record* handOver(std::shared_ptr<Record> record)
{
    Record* raw = record.get();
    keepUntilNextMessage([record]() mutable { record.reset(); });
    return raw;
}

// Records of a kind handed over on every trap come from a pool instead: a
// released record goes back with its containers' capacity, so a steady
// stream of calls allocates nothing. The caller fills in every field. The
// pool keeps at most kPooledRecords released records; those handed over
// in one turn are all kept until its end, as any record is.
constexpr std::size_t kPooledRecords = 64;

template <typename Record> struct RecordPool {
    std::vector<std::unique_ptr<Record>> ready;
    std::vector<std::unique_ptr<Record>> handedOut;

    static RecordPool& instance()
    {
        static auto* pool = new RecordPool;  // the program may exit from a handler
        return *pool;
    }
    static void releaseAll()
    {
        RecordPool& pool = instance();
        for (std::unique_ptr<Record>& record : pool.handedOut) {
            if (pool.ready.size() < kPooledRecords) {
                pool.ready.push_back(std::move(record));
            }
        }
        pool.handedOut.clear();
        if (pool.handedOut.capacity() > 4 * kPooledRecords) {
            pool.handedOut.shrink_to_fit();  // after one large turn
        }
    }
};

template <typename Record> Record* handOverPooled()
{
    RecordPool<Record>& pool = RecordPool<Record>::instance();
    std::unique_ptr<Record> record;
    if (pool.ready.empty()) {
        record = std::make_unique<Record>();
    } else {
        record = std::move(pool.ready.back());
        pool.ready.pop_back();
    }
    // One release for all of the turn's records of this kind; a plain
    // function is kept without an allocation of its own.
    if (pool.handedOut.empty()) {
        keepUntilNextMessage(&RecordPool<Record>::releaseAll);
    }
    pool.handedOut.push_back(std::move(record));
    return pool.handedOut.back().get();
}

}  // namespace simplatform
