// The SnmpPdu record built from a decoded message, and the identifiers of
// an SNMPv1 trap and of an SNMPv2 notification mapped onto each other.
#include "pdurecord.h"

#include <cstring>
#include <iterator>

namespace simplatform {
namespace {

const uint32_t kSnmpTrapEnterprise0[] = {1, 3, 6, 1, 6, 3, 1, 1, 4, 3, 0};
const uint32_t kSnmpTrapAddress0[] = {1, 3, 6, 1, 6, 3, 18, 1, 3, 0};
const uint32_t kSnmpTraps[] = {1, 3, 6, 1, 6, 3, 1, 1, 5};

uint8_t g_noBytes[1] = {0};
uint32_t g_noWords[1] = {0};

template <size_t N> bool nameIs(const ber::Message& m, const ber::Binding& b, const uint32_t (&oid)[N])
{
    return ber::sameOid(m.words.data() + b.nameOffset, b.nameLength, oid);
}

// Every binding, linked in order; the PDU's list may start later.
void linkBindings(PduRecord& record)
{
    ber::Message& m = record.message;
    record.varbinds.assign(m.bindings.size(), SnmpVarBind{});
    for (size_t i = 0; i < m.bindings.size(); ++i) {
        const ber::Binding& b = m.bindings[i];
        SnmpVarBind& v = record.varbinds[i];
        v.next = i + 1 < m.bindings.size() ? &record.varbinds[i + 1] : nullptr;
        v.name = m.words.data() + b.nameOffset;
        v.name_length = b.nameLength;
        v.type = b.type;
        v.value_length = b.valueLength;
        switch (ber::valueForm(b.type)) {
        case ber::ValueForm::Signed32:
            v.value.integer = reinterpret_cast<int32_t*>(m.words.data() + b.valueOffset);
            break;
        case ber::ValueForm::Unsigned32:
            v.value.unsigned32 = m.words.data() + b.valueOffset;
            break;
        case ber::ValueForm::ObjectId:
            v.value.oid = m.words.data() + b.valueOffset;
            break;
        case ber::ValueForm::Unsigned64:
            v.value.counter64 = m.counters.data() + b.valueOffset;
            break;
        case ber::ValueForm::Empty:
            v.value.string = nullptr;
            break;
        case ber::ValueForm::Address:
        case ber::ValueForm::Bytes:
        case ber::ValueForm::Refused:  // not decoded
            v.value.string = b.valueLength ? m.bytes.data() + b.valueOffset : g_noBytes;
            break;
        }
    }
}

// An SNMPv1 Trap-PDU's fields, and the notification identifier it maps to.
void fillTrapV1(PduRecord& record)
{
    ber::Message& m = record.message;
    SnmpPdu& pdu = record.pdu;
    pdu.enterprise = m.words.data() + m.enterpriseOffset;
    pdu.enterprise_length = m.enterpriseLength;
    std::memcpy(&pdu.agent_addr, m.agentAddr, 4);
    pdu.generic_type = m.genericTrap;
    pdu.specific_type = m.specificTrap;
    pdu.time_stamp = m.timeStamp;
    std::vector<uint32_t>& notify = record.derived;
    if (m.genericTrap == 6) {
        notify.assign(pdu.enterprise, pdu.enterprise + pdu.enterprise_length);
        notify.push_back(0);
        notify.push_back(static_cast<uint32_t>(m.specificTrap));
    } else {
        notify.assign(std::begin(kSnmpTraps), std::end(kSnmpTraps));
        notify.push_back(static_cast<uint32_t>(m.genericTrap) + 1);
    }
    pdu.notify_oid = notify.data();
    pdu.notify_oid_length = static_cast<uint32_t>(notify.size());
}

// An SNMPv2 notification's enterprise and agent address: from the bindings
// after the first two that carry them, otherwise the notification's
// identifier less its last sub-identifier (and less the 0 that an
// identifier made from an SNMPv1 trap has there) and the sender.
void fillEnterpriseAndAgent(PduRecord& record, const sockaddr_in& sender)
{
    ber::Message& m = record.message;
    SnmpPdu& pdu = record.pdu;
    uint32_t* enterprise = nullptr;
    uint32_t enterpriseLength = 0;
    bool haveAgentAddr = false;
    for (size_t i = 2; i < m.bindings.size(); ++i) {
        const ber::Binding& b = m.bindings[i];
        if (!enterprise && b.type == SNMP_TYPE_OBJECT_ID && nameIs(m, b, kSnmpTrapEnterprise0)) {
            enterprise = m.words.data() + b.valueOffset;
            enterpriseLength = b.valueLength;
        } else if (!haveAgentAddr && b.type == SNMP_TYPE_IPADDRESS && nameIs(m, b, kSnmpTrapAddress0)) {
            std::memcpy(&pdu.agent_addr, m.bytes.data() + b.valueOffset, 4);
            haveAgentAddr = true;
        }
    }
    if (!haveAgentAddr) {
        pdu.agent_addr = sender.sin_addr;
    }
    if (!enterprise) {
        enterprise = pdu.notify_oid;
        enterpriseLength = pdu.notify_oid_length - 1;
        if (enterpriseLength > 0 && enterprise[enterpriseLength - 1] == 0) {
            --enterpriseLength;
        }
    }
    pdu.enterprise = enterpriseLength ? enterprise : g_noWords;
    pdu.enterprise_length = enterpriseLength;
}

// An SNMPv2 notification's fields. The decoder has checked the first two
// bindings' names and types.
void fillNotification(PduRecord& record, const sockaddr_in& sender)
{
    ber::Message& m = record.message;
    SnmpPdu& pdu = record.pdu;
    const ber::Binding& upTime = m.bindings[0];
    const ber::Binding& trapOid = m.bindings[1];
    pdu.time_stamp = m.words[upTime.valueOffset];
    pdu.notify_oid = m.words.data() + trapOid.valueOffset;
    pdu.notify_oid_length = trapOid.valueLength;
    fillEnterpriseAndAgent(record, sender);

    const uint32_t* id = pdu.notify_oid;
    uint32_t idLength = pdu.notify_oid_length;
    if (idLength == 10 && std::memcmp(id, kSnmpTraps, sizeof kSnmpTraps) == 0 && id[9] >= 1 && id[9] <= 6) {
        pdu.generic_type = static_cast<int32_t>(id[9]) - 1;
        pdu.specific_type = 0;
    } else {
        pdu.generic_type = 6;
        pdu.specific_type = static_cast<int32_t>(id[idLength - 1]);
    }
}

}  // namespace

void buildPdu(PduRecord& record, const sockaddr_in& sender)
{
    ber::Message& m = record.message;
    SnmpPdu& pdu = record.pdu;
    pdu = SnmpPdu{};
    pdu.address = sender;
    pdu.command = m.pduType;
    pdu.version = m.version;
    pdu.community = m.communityLength ? m.bytes.data() + m.communityOffset : g_noBytes;
    pdu.community_len = m.communityLength;
    linkBindings(record);

    size_t firstVariable = 0;
    if (m.pduType == SNMP_KIND_TRAP_V1) {
        fillTrapV1(record);
    } else {
        pdu.request_id = m.requestId;
        pdu.error_status = m.errorStatus;
        pdu.error_index = m.errorIndex;
    }
    if (m.pduType == SNMP_KIND_INFORM || m.pduType == SNMP_KIND_TRAP_V2) {
        fillNotification(record, sender);
        firstVariable = 2;
    }
    pdu.variables = firstVariable < record.varbinds.size() ? &record.varbinds[firstVariable] : nullptr;
}

}  // namespace simplatform
