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

#include <functional>
#include <memory>

namespace simplatform {

void keepUntilNextMessage(std::function<void()> release);
void releaseReturnedRecords();

// Asks for task to run once at the end of the current turn, after its
// handlers: asked for again in the same turn, it still runs once. A turn
// the program ends with exit() still runs it.
void atTurnEnd(void (*task)());

// Ends a turn: runs the tasks asked for, then releases the records handed
// over. The message loop calls it when a message's handlers have returned
// and before it hands out the next message; tests call it in its place.
void endTurn();

// Keeps record alive until the end of the turn.
template <typename Record>
Record* handOver(std::shared_ptr<Record> record)
{
    Record* raw = record.get();
    keepUntilNextMessage([record]() mutable { record.reset(); });
    return raw;
}

}  // namespace simplatform
