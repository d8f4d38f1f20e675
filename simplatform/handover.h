// Records handed over to the program.
//
// Records that the platform returns to the program (lists, SymbolInfo,
// FieldValue, ...) are never given back by it. The platform keeps them and
// releases them all when the program next asks the message loop for a
// message: no handler keeps a returned record past its own return.
#pragma once

#include <functional>
#include <memory>

namespace simplatform {

void keepUntilNextMessage(std::function<void()> release);
// Called by the message loop before it hands out the next message.
void releaseReturnedRecords();

// Keeps record alive until the program next asks for a message.
template <typename Record>
Record* handOver(std::shared_ptr<Record> record)
{
    Record* raw = record.get();
    keepUntilNextMessage([record]() mutable { record.reset(); });
    return raw;
}

}  // namespace simplatform
