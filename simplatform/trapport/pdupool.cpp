// The PDU records lent to the program and the pool of those given back.
#include "pdupool.h"

#include <vector>

#include "snmperrors.h"

namespace simplatform {
namespace {

constexpr size_t kPoolLimit = 16;  // freed records kept for reuse

struct PduPool {
    std::vector<std::unique_ptr<PduRecord>> lent;  // handed to the program
    std::vector<std::unique_ptr<PduRecord>> free;  // ready for reuse
};

// Lives until the process ends: the program may exit from inside a callback.
PduPool& pduPool()
{
    static auto* instance = new PduPool;
    return *instance;
}

}  // namespace

std::unique_ptr<PduRecord> takePduRecord()
{
    PduPool& p = pduPool();
    if (p.free.empty()) {
        return std::make_unique<PduRecord>();
    }
    std::unique_ptr<PduRecord> record = std::move(p.free.back());
    p.free.pop_back();
    return record;
}

void returnPduRecord(std::unique_ptr<PduRecord> record)
{
    PduPool& p = pduPool();
    if (p.free.size() < kPoolLimit) {
        p.free.push_back(std::move(record));
    }
}

SnmpPdu* lendPdu(std::unique_ptr<PduRecord> record)
{
    SnmpPdu* pdu = &record->pdu;
    pduPool().lent.push_back(std::move(record));
    return pdu;
}

}  // namespace simplatform

int OVsnmpFreePdu(SnmpPdu* pdu)
{
    if (pdu == nullptr) {
        return 0;
    }
    simplatform::PduPool& p = simplatform::pduPool();
    // The most recent PDU is the one usually given back: search from the end.
    for (size_t i = p.lent.size(); i-- > 0;) {
        if (&p.lent[i]->pdu == pdu) {
            std::unique_ptr<simplatform::PduRecord> record = std::move(p.lent[i]);
            p.lent[i] = std::move(p.lent.back());
            p.lent.pop_back();
            simplatform::returnPduRecord(std::move(record));
            return 0;
        }
    }
    simplatform::setSnmpError(simplatform::kUnknownPdu);
    return -1;
}
