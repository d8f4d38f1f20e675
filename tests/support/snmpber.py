"""A small BER encoder for SNMP messages, shared by the Python tests that
build their own datagrams (the load test, the Wine test)."""


def length(n):
    if n < 0x80:
        return bytes([n])
    body = n.to_bytes((n.bit_length() + 7) // 8, "big")
    return bytes([0x80 | len(body)]) + body


def tlv(tag, content):
    return bytes([tag]) + length(len(content)) + content


def integer(v, tag=0x02):
    size = 1
    while not -(1 << (8 * size - 1)) <= v < (1 << (8 * size - 1)):
        size += 1
    return tlv(tag, v.to_bytes(size, "big", signed=True))


def unsigned(v, tag):
    body = v.to_bytes(max(1, (v.bit_length() + 8) // 8), "big")
    return tlv(tag, body)


def octets(data, tag=0x04):
    return tlv(tag, data if isinstance(data, bytes) else data.encode())


def oid(text):
    ids = [int(x) for x in text.strip(".").split(".")]
    body = bytes([40 * ids[0] + ids[1]])
    for sub in ids[2:]:
        chunk = [sub & 0x7F]
        sub >>= 7
        while sub:
            chunk.append(0x80 | (sub & 0x7F))
            sub >>= 7
        body += bytes(reversed(chunk))
    return tlv(0x06, body)


def seq(*parts):
    return tlv(0x30, b"".join(parts))


def varbind(name, value):
    return seq(oid(name), value)
